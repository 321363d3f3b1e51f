// Which reply a failed S3 request gives the client: the status's reply code and error type, with
// the headers that reply carries. README's table is the reference for users; each line here says
// what the reply tells an operator.
#include "vorlan_i_s3.h"

#include <cstring>

vorlan_object_t *vorlan_i_s3_status_reply(S3Status status, const char *path,
                                          const S3ErrorDetails *error_details,
                                          vorlan_object_t *s3_error) {
  switch (status) {
    // The account may not touch this bucket or object: grant it access.
    case S3StatusErrorAccessDenied:
    case S3StatusErrorNotSignedUp:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 550, "PERMISSION_DENIED",
                                                     nullptr);
    // The service computed another MD5 than the client announced: nothing was stored.
    case S3StatusErrorBadDigest: {
      const char *computed = nullptr;
      const char *expected = nullptr;
      if (error_details != nullptr && error_details->extraDetails != nullptr) {
        for (int i = 0; i < error_details->extraDetailsCount; i++) {
          const S3NameValue &detail = error_details->extraDetails[i];
          if (detail.name == nullptr) {
            continue;
          }
          if (strcmp(detail.name, "CalculatedDigest") == 0) {
            computed = detail.value;
          } else if (strcmp(detail.name, "ExpectedDigest") == 0) {
            expected = detail.value;
          }
        }
      }
      return vorlan_gfs_ftp_response_error_construct(
          nullptr, s3_error, 550, "INCORRECT_CHECKSUM",
          "GridFTP-Computed-Checksum: %s\nGridFTP-Expected-Checksum: %s", vorlan_i_s3_str(computed),
          vorlan_i_s3_str(expected));
    }
    // The bucket name belongs to someone else: bucket names are global, choose another.
    case S3StatusErrorBucketAlreadyExists:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 553, "PATH_EXISTS",
                                                     "GridFTP-Path: %s", vorlan_i_s3_str(path));
    // The project or the token is wrong or expired (a refused token was renewed once already),
    // the key pair was refused, or this host's clock is too far off for a signature.
    case S3StatusErrorInvalidAccessKeyId:
    case S3StatusErrorSignatureDoesNotMatch:
    case S3StatusErrorRequestTimeTooSkewed:
    case S3StatusHttpErrorUnauthorized:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 530, "LOGIN_DENIED",
                                                     nullptr);
    // A range past the object's end was asked for: objects cannot be appended to.
    case S3StatusErrorInvalidRange:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 553, "APPEND_NOT_SUPPORTED",
                                                     nullptr);
    // No such bucket or object. The header names the requested path, even when the service named
    // another resource.
    case S3StatusErrorNoSuchBucket:
    case S3StatusErrorNoSuchKey:
    case S3StatusHttpErrorNotFound:
      return vorlan_gfs_ftp_response_error_construct(
          nullptr, s3_error, 550, "PATH_NOT_FOUND", "%s%s%s",
          path != nullptr ? "GridFTP-Path: \"" : "", vorlan_i_s3_str(path),
          path != nullptr ? "\"" : "");
    // The service knows no such multipart upload (it was completed or aborted).
    case S3StatusErrorNoSuchUpload:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 553,
                                                     "MULTI_PART_UPLOAD_NOT_FOUND", nullptr);
    // Still throttled after the retries; nothing is lost, and max_retries and retry_delay give
    // more room.
    case S3StatusErrorServiceUnavailable:
    case S3StatusErrorSlowDown:
      return vorlan_gfs_ftp_response_error_construct(nullptr, s3_error, 451, "TOO_BUSY", nullptr);
    // Anything else is the S3 error alone (a 500): its status and message say what happened.
    default:
      return s3_error;
  }
}

// Every S3 status the module tells apart becomes the reply the client sees: reply code,
// error-type word, headers, and the S3 error's text beneath it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorlan_i_s3.h"

namespace {

struct ReplyCase {
  const char *label;
  S3Status status;
  const char *path;
  const S3ErrorDetails *details;
  int code;
  const char *word;  // null: no reply error wraps the S3 error
  const char *headers;
  const char *text;  // the S3 error's own text
};

TEST(ErrorReplyTest, StatusToReplyTable) {
  const S3ErrorDetails with_resource = {"Access Denied.", "/other/resource", "more", 0, nullptr};
  const S3NameValue digests[] = {{"Region", "eu"},
                                 {"CalculatedDigest", "old"},
                                 {"ExpectedDigest", "exp"},
                                 {"CalculatedDigest", "calc"}};
  const S3ErrorDetails bad_digest = {"The Content-MD5 you specified did not match.", nullptr,
                                     nullptr, 4, digests};
  const S3ErrorDetails empty = {nullptr, nullptr, nullptr, 0, nullptr};

  const ReplyCase cases[] = {
      {"access denied", S3StatusErrorAccessDenied, "/b/k", &with_resource, 550, "PERMISSION_DENIED",
       "", "S3 Error accessing \"/other/resource\": ErrorAccessDenied: Access Denied.: more"},
      {"not signed up", S3StatusErrorNotSignedUp, "/b/k", nullptr, 550, "PERMISSION_DENIED", "",
       "S3 Error accessing \"/b/k\": ErrorNotSignedUp: ErrorNotSignedUp: "},
      {"bad digest, later detail wins", S3StatusErrorBadDigest, "/b/k", &bad_digest, 550,
       "INCORRECT_CHECKSUM", "GridFTP-Computed-Checksum: calc\nGridFTP-Expected-Checksum: exp",
       "S3 Error accessing \"/b/k\": ErrorBadDigest: The Content-MD5 you specified did not "
       "match.: "},
      {"bad digest, no details", S3StatusErrorBadDigest, "/b/k", nullptr, 550, "INCORRECT_CHECKSUM",
       "GridFTP-Computed-Checksum: \nGridFTP-Expected-Checksum: ",
       "S3 Error accessing \"/b/k\": ErrorBadDigest: ErrorBadDigest: "},
      {"bucket exists", S3StatusErrorBucketAlreadyExists, "/newbucket", nullptr, 553, "PATH_EXISTS",
       "GridFTP-Path: /newbucket",
       "S3 Error accessing \"/newbucket\": ErrorBucketAlreadyExists: "
       "ErrorBucketAlreadyExists: "},
      {"bucket exists, no path", S3StatusErrorBucketAlreadyExists, nullptr, nullptr, 553,
       "PATH_EXISTS", "GridFTP-Path: ",
       "S3 Error accessing \"\": ErrorBucketAlreadyExists: ErrorBucketAlreadyExists: "},
      {"bad key id", S3StatusErrorInvalidAccessKeyId, "/b", nullptr, 530, "LOGIN_DENIED", "",
       "S3 Error accessing \"/b\": ErrorInvalidAccessKeyId: ErrorInvalidAccessKeyId: "},
      {"bad signature", S3StatusErrorSignatureDoesNotMatch, "/b", nullptr, 530, "LOGIN_DENIED", "",
       "S3 Error accessing \"/b\": ErrorSignatureDoesNotMatch: ErrorSignatureDoesNotMatch: "},
      {"invalid range", S3StatusErrorInvalidRange, "/b/k", nullptr, 553, "APPEND_NOT_SUPPORTED", "",
       "S3 Error accessing \"/b/k\": ErrorInvalidRange: ErrorInvalidRange: "},
      {"no such bucket", S3StatusErrorNoSuchBucket, "/b", nullptr, 550, "PATH_NOT_FOUND",
       "GridFTP-Path: \"/b\"", "S3 Error accessing \"/b\": ErrorNoSuchBucket: ErrorNoSuchBucket: "},
      {"no such key names the path, not the resource", S3StatusErrorNoSuchKey, "/b/k",
       &with_resource, 550, "PATH_NOT_FOUND", "GridFTP-Path: \"/b/k\"",
       "S3 Error accessing \"/other/resource\": ErrorNoSuchKey: Access Denied.: more"},
      {"no such key, no path", S3StatusErrorNoSuchKey, nullptr, nullptr, 550, "PATH_NOT_FOUND", "",
       "S3 Error accessing \"\": ErrorNoSuchKey: ErrorNoSuchKey: "},
      {"plain 404", S3StatusHttpErrorNotFound, "/b/k", &empty, 550, "PATH_NOT_FOUND",
       "GridFTP-Path: \"/b/k\"",
       "S3 Error accessing \"/b/k\": HttpErrorNotFound: HttpErrorNotFound: "},
      {"no such upload", S3StatusErrorNoSuchUpload, "/b/k", nullptr, 553,
       "MULTI_PART_UPLOAD_NOT_FOUND", "",
       "S3 Error accessing \"/b/k\": ErrorNoSuchUpload: ErrorNoSuchUpload: "},
      {"unavailable", S3StatusErrorServiceUnavailable, "/b", nullptr, 451, "TOO_BUSY", "",
       "S3 Error accessing \"/b\": ErrorServiceUnavailable: ErrorServiceUnavailable: "},
      {"slow down", S3StatusErrorSlowDown, "/b", nullptr, 451, "TOO_BUSY", "",
       "S3 Error accessing \"/b\": ErrorSlowDown: ErrorSlowDown: "},
      {"initialisation failure is unwrapped", S3StatusInternalError, "initialization", nullptr, 0,
       nullptr, "", "S3 Error accessing \"initialization\": InternalError: InternalError: "},
      {"plain 403 is unwrapped", S3StatusHttpErrorForbidden, nullptr, nullptr, 0, nullptr, "",
       "S3 Error accessing \"\": HttpErrorForbidden: HttpErrorForbidden: "},
  };
  for (const ReplyCase &c : cases) {
    SCOPED_TRACE(c.label);
    vorlan_object_t *error = vorlan_i_S3Error_to_error(c.status, c.path, c.details);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), c.code);
    EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), c.word);
    EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_headers(error), c.headers);

    const vorlan_object_t *s3_error = c.word != nullptr ? vorlan_error_get_cause(error) : error;
    ASSERT_NE(s3_error, nullptr);
    EXPECT_EQ(vorlan_error_get_type(s3_error), VORLAN_ERROR_TYPE_S3);
    EXPECT_EQ(vorlan_error_get_module(s3_error), &vorlan_i_s3_base_module);
    EXPECT_STREQ(vorlan_error_get_long_desc(s3_error), c.text);
    EXPECT_EQ(vorlan_error_get_cause(s3_error), nullptr);
    vorlan_object_free(error);
  }
}

}  // namespace

#include "status_table.h"

#include <curl/curl.h>

#include <array>
#include <cerrno>
#include <string>

namespace {

struct status_entry {
  S3Status status;
  const char *name;
};

#define VORLAN_S3_STATUS(n) \
  { S3Status##n, #n }
constexpr status_entry kStatusEntries[] = {
    VORLAN_S3_STATUS(OK),
    VORLAN_S3_STATUS(AbortedByCallback),
    VORLAN_S3_STATUS(OutOfMemory),
    VORLAN_S3_STATUS(Interrupted),
    VORLAN_S3_STATUS(InvalidBucketNameTooLong),
    VORLAN_S3_STATUS(InvalidBucketNameFirstCharacter),
    VORLAN_S3_STATUS(InvalidBucketNameCharacter),
    VORLAN_S3_STATUS(InvalidBucketNameCharacterSequence),
    VORLAN_S3_STATUS(InvalidBucketNameTooShort),
    VORLAN_S3_STATUS(InvalidBucketNameDotQuadNotation),
    VORLAN_S3_STATUS(QueryParamsTooLong),
    VORLAN_S3_STATUS(FailedToInitializeRequest),
    VORLAN_S3_STATUS(MetaDataHeadersTooLong),
    VORLAN_S3_STATUS(BadMetaData),
    VORLAN_S3_STATUS(BadContentType),
    VORLAN_S3_STATUS(ContentTypeTooLong),
    VORLAN_S3_STATUS(BadMD5),
    VORLAN_S3_STATUS(MD5TooLong),
    VORLAN_S3_STATUS(BadCacheControl),
    VORLAN_S3_STATUS(CacheControlTooLong),
    VORLAN_S3_STATUS(BadContentDispositionFilename),
    VORLAN_S3_STATUS(ContentDispositionFilenameTooLong),
    VORLAN_S3_STATUS(BadContentEncoding),
    VORLAN_S3_STATUS(ContentEncodingTooLong),
    VORLAN_S3_STATUS(BadIfMatchETag),
    VORLAN_S3_STATUS(IfMatchETagTooLong),
    VORLAN_S3_STATUS(BadIfNotMatchETag),
    VORLAN_S3_STATUS(IfNotMatchETagTooLong),
    VORLAN_S3_STATUS(HeadersTooLong),
    VORLAN_S3_STATUS(KeyTooLong),
    VORLAN_S3_STATUS(UriTooLong),
    VORLAN_S3_STATUS(XmlParseFailure),
    VORLAN_S3_STATUS(EmailAddressTooLong),
    VORLAN_S3_STATUS(UserIdTooLong),
    VORLAN_S3_STATUS(UserDisplayNameTooLong),
    VORLAN_S3_STATUS(GroupUriTooLong),
    VORLAN_S3_STATUS(PermissionTooLong),
    VORLAN_S3_STATUS(TargetBucketTooLong),
    VORLAN_S3_STATUS(TargetPrefixTooLong),
    VORLAN_S3_STATUS(TooManyGrants),
    VORLAN_S3_STATUS(BadGrantee),
    VORLAN_S3_STATUS(BadPermission),
    VORLAN_S3_STATUS(XmlDocumentTooLarge),
    VORLAN_S3_STATUS(NameLookupError),
    VORLAN_S3_STATUS(FailedToConnect),
    VORLAN_S3_STATUS(ServerFailedVerification),
    VORLAN_S3_STATUS(ConnectionFailed),
    VORLAN_S3_STATUS(InternalError),
    VORLAN_S3_STATUS(NotSupported),
    VORLAN_S3_STATUS(ErrorAccessDenied),
    VORLAN_S3_STATUS(ErrorAccountProblem),
    VORLAN_S3_STATUS(ErrorAmbiguousGrantByEmailAddress),
    VORLAN_S3_STATUS(ErrorBadDigest),
    VORLAN_S3_STATUS(ErrorBucketAlreadyExists),
    VORLAN_S3_STATUS(ErrorBucketAlreadyOwnedByYou),
    VORLAN_S3_STATUS(ErrorBucketNotEmpty),
    VORLAN_S3_STATUS(ErrorCredentialsNotSupported),
    VORLAN_S3_STATUS(ErrorCrossLocationLoggingProhibited),
    VORLAN_S3_STATUS(ErrorEntityTooSmall),
    VORLAN_S3_STATUS(ErrorEntityTooLarge),
    VORLAN_S3_STATUS(ErrorExpiredToken),
    VORLAN_S3_STATUS(ErrorIllegalVersioningConfigurationException),
    VORLAN_S3_STATUS(ErrorIncompleteBody),
    VORLAN_S3_STATUS(ErrorIncorrectNumberOfFilesInPostRequest),
    VORLAN_S3_STATUS(ErrorInlineDataTooLarge),
    VORLAN_S3_STATUS(ErrorInternalError),
    VORLAN_S3_STATUS(ErrorInvalidAccessKeyId),
    VORLAN_S3_STATUS(ErrorInvalidAddressingHeader),
    VORLAN_S3_STATUS(ErrorInvalidArgument),
    VORLAN_S3_STATUS(ErrorInvalidBucketName),
    VORLAN_S3_STATUS(ErrorInvalidBucketState),
    VORLAN_S3_STATUS(ErrorInvalidDigest),
    VORLAN_S3_STATUS(ErrorInvalidEncryptionAlgorithmError),
    VORLAN_S3_STATUS(ErrorInvalidLocationConstraint),
    VORLAN_S3_STATUS(ErrorInvalidObjectState),
    VORLAN_S3_STATUS(ErrorInvalidPart),
    VORLAN_S3_STATUS(ErrorInvalidPartOrder),
    VORLAN_S3_STATUS(ErrorInvalidPayer),
    VORLAN_S3_STATUS(ErrorInvalidPolicyDocument),
    VORLAN_S3_STATUS(ErrorInvalidRange),
    VORLAN_S3_STATUS(ErrorInvalidRequest),
    VORLAN_S3_STATUS(ErrorInvalidSecurity),
    VORLAN_S3_STATUS(ErrorInvalidSOAPRequest),
    VORLAN_S3_STATUS(ErrorInvalidStorageClass),
    VORLAN_S3_STATUS(ErrorInvalidTargetBucketForLogging),
    VORLAN_S3_STATUS(ErrorInvalidToken),
    VORLAN_S3_STATUS(ErrorInvalidURI),
    VORLAN_S3_STATUS(ErrorKeyTooLong),
    VORLAN_S3_STATUS(ErrorMalformedACLError),
    VORLAN_S3_STATUS(ErrorMalformedPOSTRequest),
    VORLAN_S3_STATUS(ErrorMalformedXML),
    VORLAN_S3_STATUS(ErrorMaxMessageLengthExceeded),
    VORLAN_S3_STATUS(ErrorMaxPostPreDataLengthExceededError),
    VORLAN_S3_STATUS(ErrorMetadataTooLarge),
    VORLAN_S3_STATUS(ErrorMethodNotAllowed),
    VORLAN_S3_STATUS(ErrorMissingAttachment),
    VORLAN_S3_STATUS(ErrorMissingContentLength),
    VORLAN_S3_STATUS(ErrorMissingRequestBodyError),
    VORLAN_S3_STATUS(ErrorMissingSecurityElement),
    VORLAN_S3_STATUS(ErrorMissingSecurityHeader),
    VORLAN_S3_STATUS(ErrorNoLoggingStatusForKey),
    VORLAN_S3_STATUS(ErrorNoSuchBucket),
    VORLAN_S3_STATUS(ErrorNoSuchKey),
    VORLAN_S3_STATUS(ErrorNoSuchLifecycleConfiguration),
    VORLAN_S3_STATUS(ErrorNoSuchUpload),
    VORLAN_S3_STATUS(ErrorNoSuchVersion),
    VORLAN_S3_STATUS(ErrorNotImplemented),
    VORLAN_S3_STATUS(ErrorNotSignedUp),
    VORLAN_S3_STATUS(ErrorNoSuchBucketPolicy),
    VORLAN_S3_STATUS(ErrorOperationAborted),
    VORLAN_S3_STATUS(ErrorPermanentRedirect),
    VORLAN_S3_STATUS(ErrorPreconditionFailed),
    VORLAN_S3_STATUS(ErrorRedirect),
    VORLAN_S3_STATUS(ErrorRestoreAlreadyInProgress),
    VORLAN_S3_STATUS(ErrorRequestIsNotMultiPartContent),
    VORLAN_S3_STATUS(ErrorRequestTimeout),
    VORLAN_S3_STATUS(ErrorRequestTimeTooSkewed),
    VORLAN_S3_STATUS(ErrorRequestTorrentOfBucketError),
    VORLAN_S3_STATUS(ErrorSignatureDoesNotMatch),
    VORLAN_S3_STATUS(ErrorServiceUnavailable),
    VORLAN_S3_STATUS(ErrorSlowDown),
    VORLAN_S3_STATUS(ErrorTemporaryRedirect),
    VORLAN_S3_STATUS(ErrorTokenRefreshRequired),
    VORLAN_S3_STATUS(ErrorTooManyBuckets),
    VORLAN_S3_STATUS(ErrorUnexpectedContent),
    VORLAN_S3_STATUS(ErrorUnresolvableGrantByEmailAddress),
    VORLAN_S3_STATUS(ErrorUserKeyMustBeSpecified),
    VORLAN_S3_STATUS(ErrorQuotaExceeded),
    VORLAN_S3_STATUS(ErrorUnknown),
    VORLAN_S3_STATUS(HttpErrorMovedTemporarily),
    VORLAN_S3_STATUS(HttpErrorBadRequest),
    VORLAN_S3_STATUS(HttpErrorForbidden),
    VORLAN_S3_STATUS(HttpErrorNotFound),
    VORLAN_S3_STATUS(HttpErrorConflict),
    VORLAN_S3_STATUS(HttpErrorUnknown),
    VORLAN_S3_STATUS(TransportConnectionReset),
    VORLAN_S3_STATUS(TransportTimedOut),
    VORLAN_S3_STATUS(TransportShortBody),
    VORLAN_S3_STATUS(TransportLongBody),
    VORLAN_S3_STATUS(TransportTlsFailure),
    VORLAN_S3_STATUS(TransportOther),
    VORLAN_S3_STATUS(ErrorAuthorizationHeaderMalformed),
    VORLAN_S3_STATUS(HttpErrorRequestTimeout),
    VORLAN_S3_STATUS(HttpErrorTooManyRequests),
    VORLAN_S3_STATUS(HttpErrorInternalServerError),
    VORLAN_S3_STATUS(HttpErrorBadGateway),
    VORLAN_S3_STATUS(HttpErrorServiceUnavailable),
    VORLAN_S3_STATUS(HttpErrorGatewayTimeout),
    VORLAN_S3_STATUS(KeyMissing),
    VORLAN_S3_STATUS(TruncatedEmptyPage),
    VORLAN_S3_STATUS(HttpErrorUnauthorized),
};
#undef VORLAN_S3_STATUS

constexpr bool entries_follow_enum() {
  int expected = 0;
  for (const status_entry &entry : kStatusEntries) {
    if (entry.status != expected++) return false;
  }
  return expected == S3StatusCount;
}
static_assert(entries_follow_enum(), "every status has exactly one name, in enum order");

bool is_service_error_code_status(S3Status status) {
  return (status >= S3StatusErrorAccessDenied && status <= S3StatusErrorUnknown) ||
         status == S3StatusErrorAuthorizationHeaderMalformed;
}

}  // namespace

namespace vorlan_s3 {

S3Status status_from_error_code(std::string_view code) {
  constexpr std::string_view kPrefix = "Error";
  for (const status_entry &entry : kStatusEntries) {
    if (!is_service_error_code_status(entry.status) || entry.status == S3StatusErrorUnknown) {
      continue;
    }
    std::string_view name = entry.name;
    if (name.substr(kPrefix.size()) == code) return entry.status;
  }
  return S3StatusErrorUnknown;
}

S3Status status_from_http_code(long http_code) {
  switch (http_code) {
    case 301:
      return S3StatusErrorPermanentRedirect;
    case 302:
    case 303:
      return S3StatusHttpErrorMovedTemporarily;
    case 307:
      return S3StatusErrorTemporaryRedirect;
    case 400:
      return S3StatusHttpErrorBadRequest;
    case 401:
      return S3StatusHttpErrorUnauthorized;
    case 403:
      return S3StatusHttpErrorForbidden;
    case 404:
      return S3StatusHttpErrorNotFound;
    case 405:
      return S3StatusErrorMethodNotAllowed;
    case 408:
      return S3StatusHttpErrorRequestTimeout;
    case 409:
      return S3StatusHttpErrorConflict;
    case 411:
      return S3StatusErrorMissingContentLength;
    case 412:
      return S3StatusErrorPreconditionFailed;
    case 416:
      return S3StatusErrorInvalidRange;
    case 429:
      return S3StatusHttpErrorTooManyRequests;
    case 500:
      return S3StatusHttpErrorInternalServerError;
    case 501:
      return S3StatusErrorNotImplemented;
    case 502:
      return S3StatusHttpErrorBadGateway;
    case 503:
      return S3StatusHttpErrorServiceUnavailable;
    case 504:
      return S3StatusHttpErrorGatewayTimeout;
    default:
      return S3StatusHttpErrorUnknown;
  }
}

S3Status status_from_transport_result(int curl_code, long os_errno) {
  switch (static_cast<CURLcode>(curl_code)) {
    case CURLE_OK:
      return S3StatusOK;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return S3StatusNameLookupError;
    case CURLE_COULDNT_CONNECT:
      return S3StatusFailedToConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return S3StatusTransportTimedOut;
    case CURLE_PARTIAL_FILE:
      return S3StatusTransportShortBody;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_FAIL_REWIND:  // the connection broke and the body could not be resent
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return S3StatusTransportConnectionReset;
    case CURLE_PEER_FAILED_VERIFICATION:
      return S3StatusServerFailedVerification;
    case CURLE_SSL_CONNECT_ERROR:
      // A reset during the handshake is the network's doing, not the certificate's.
      if (os_errno == ECONNRESET) return S3StatusTransportConnectionReset;
      return S3StatusTransportTlsFailure;
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      return S3StatusTransportTlsFailure;
    case CURLE_OUT_OF_MEMORY:
      return S3StatusOutOfMemory;
    case CURLE_URL_MALFORMAT:
    case CURLE_FAILED_INIT:
      return S3StatusFailedToInitializeRequest;
    case CURLE_ABORTED_BY_CALLBACK:
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
      return S3StatusAbortedByCallback;
    default:
      return S3StatusTransportOther;
  }
}

}  // namespace vorlan_s3

extern "C" const char *S3_get_status_name(S3Status status) {
  if (status < 0 || status >= S3StatusCount) return "Unknown";
  return kStatusEntries[status].name;
}

extern "C" int S3_status_is_retryable(S3Status status) {
  switch (status) {
    case S3StatusNameLookupError:
    case S3StatusFailedToConnect:
    case S3StatusConnectionFailed:
    case S3StatusTransportConnectionReset:
    case S3StatusTransportTimedOut:
    case S3StatusTransportShortBody:
    case S3StatusErrorInternalError:
    case S3StatusErrorRequestTimeout:
    case S3StatusErrorServiceUnavailable:
    case S3StatusErrorSlowDown:
    case S3StatusHttpErrorRequestTimeout:
    case S3StatusHttpErrorTooManyRequests:
    case S3StatusHttpErrorInternalServerError:
    case S3StatusHttpErrorBadGateway:
    case S3StatusHttpErrorServiceUnavailable:
    case S3StatusHttpErrorGatewayTimeout:
      return 1;
    default:
      return 0;
  }
}

// Status names, the mapping of service codes, HTTP answers and transport results, and which
// statuses a retry may cure.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "status_table.h"
#include "vorlan/s3.h"

namespace {

TEST(StatusTable, NumbersTheModuleReliesOnKeepTheirMeaning) {
  struct row {
    int number;
    const char *name;
  } rows[] = {{0, "OK"},
              {1, "AbortedByCallback"},
              {2, "OutOfMemory"},
              {49, "ErrorAccessDenied"},
              {52, "ErrorBadDigest"},
              {53, "ErrorBucketAlreadyExists"},
              {66, "ErrorInvalidAccessKeyId"},
              {79, "ErrorInvalidRange"},
              {101, "ErrorNoSuchBucket"},
              {102, "ErrorNoSuchKey"},
              {104, "ErrorNoSuchUpload"},
              {107, "ErrorNotSignedUp"},
              {110, "ErrorPermanentRedirect"},
              {118, "ErrorSignatureDoesNotMatch"},
              {119, "ErrorServiceUnavailable"},
              {120, "ErrorSlowDown"},
              {131, "HttpErrorForbidden"},
              {132, "HttpErrorNotFound"}};
  for (const row &r : rows) {
    EXPECT_STREQ(S3_get_status_name(static_cast<S3Status>(r.number)), r.name) << r.number;
    std::string name = r.name;
    if (name.rfind("Error", 0) == 0) {
      EXPECT_EQ(vorlan_s3::status_from_error_code(name.substr(5)), r.number) << name;
    }
  }
  std::set<std::string> names;
  for (int s = 0; s < S3StatusCount; ++s)
    names.insert(S3_get_status_name(static_cast<S3Status>(s)));
  EXPECT_EQ(names.size(), static_cast<size_t>(S3StatusCount)) << "every status has its own name";
  EXPECT_EQ(vorlan_s3::status_from_error_code("NoSuchThing"), S3StatusErrorUnknown);
  EXPECT_EQ(vorlan_s3::status_from_error_code("AuthorizationHeaderMalformed"),
            S3StatusErrorAuthorizationHeaderMalformed);
}

// One row per outcome: how it maps and whether a later attempt may succeed.
TEST(StatusTable, OutcomesMapToStatusesAndRetryability) {
  struct http_row {
    long code;
    S3Status status;
    bool retryable;
  } http_rows[] = {
      {301, S3StatusErrorPermanentRedirect, false},
      {307, S3StatusErrorTemporaryRedirect, false},
      {400, S3StatusHttpErrorBadRequest, false},
      {403, S3StatusHttpErrorForbidden, false},
      {404, S3StatusHttpErrorNotFound, false},
      {409, S3StatusHttpErrorConflict, false},
      {416, S3StatusErrorInvalidRange, false},
      {408, S3StatusHttpErrorRequestTimeout, true},
      {429, S3StatusHttpErrorTooManyRequests, true},
      {500, S3StatusHttpErrorInternalServerError, true},
      {502, S3StatusHttpErrorBadGateway, true},
      {503, S3StatusHttpErrorServiceUnavailable, true},
      {504, S3StatusHttpErrorGatewayTimeout, true},
      {418, S3StatusHttpErrorUnknown, false},
  };
  for (const http_row &r : http_rows) {
    S3Status status = vorlan_s3::status_from_http_code(r.code);
    EXPECT_EQ(status, r.status) << r.code;
    EXPECT_EQ(S3_status_is_retryable(status) != 0, r.retryable) << r.code;
  }

  struct transport_row {
    CURLcode code;
    long os_errno;
    S3Status status;
    bool retryable;
  } transport_rows[] = {
      {CURLE_COULDNT_RESOLVE_HOST, 0, S3StatusNameLookupError, true},
      {CURLE_COULDNT_CONNECT, 0, S3StatusFailedToConnect, true},
      {CURLE_OPERATION_TIMEDOUT, 0, S3StatusTransportTimedOut, true},
      {CURLE_PARTIAL_FILE, 0, S3StatusTransportShortBody, true},
      {CURLE_RECV_ERROR, 0, S3StatusTransportConnectionReset, true},
      {CURLE_SEND_ERROR, 0, S3StatusTransportConnectionReset, true},
      {CURLE_GOT_NOTHING, 0, S3StatusTransportConnectionReset, true},
      {CURLE_SEND_FAIL_REWIND, 0, S3StatusTransportConnectionReset, true},
      {CURLE_PEER_FAILED_VERIFICATION, 0, S3StatusServerFailedVerification, false},
      {CURLE_SSL_CONNECT_ERROR, 0, S3StatusTransportTlsFailure, false},
      {CURLE_SSL_CONNECT_ERROR, ECONNRESET, S3StatusTransportConnectionReset, true},
      {CURLE_OUT_OF_MEMORY, 0, S3StatusOutOfMemory, false},
      {CURLE_WEIRD_SERVER_REPLY, 0, S3StatusTransportOther, false},
  };
  for (const transport_row &r : transport_rows) {
    S3Status status = vorlan_s3::status_from_transport_result(r.code, r.os_errno);
    EXPECT_EQ(status, r.status) << "curl code " << r.code << " errno " << r.os_errno;
    EXPECT_EQ(S3_status_is_retryable(status) != 0, r.retryable) << "curl code " << r.code;
  }

  struct code_row {
    const char *code;
    bool retryable;
  } code_rows[] = {{"SlowDown", true},      {"RequestTimeout", true},
                   {"InternalError", true}, {"ServiceUnavailable", true},
                   {"NoSuchKey", false},    {"AccessDenied", false},
                   {"BadDigest", false},    {"SignatureDoesNotMatch", false},
                   {"InvalidRange", false}, {"PermanentRedirect", false}};
  for (const code_row &r : code_rows) {
    EXPECT_EQ(S3_status_is_retryable(vorlan_s3::status_from_error_code(r.code)) != 0, r.retryable)
        << r.code;
  }
  EXPECT_FALSE(S3_status_is_retryable(S3StatusOK));
  EXPECT_FALSE(S3_status_is_retryable(S3StatusAbortedByCallback));
  EXPECT_FALSE(S3_status_is_retryable(S3StatusErrorIncompleteBody));
  EXPECT_FALSE(S3_status_is_retryable(S3StatusXmlParseFailure));
  EXPECT_FALSE(S3_status_is_retryable(S3StatusTransportLongBody));
  EXPECT_STREQ(S3_get_status_name(S3StatusCount), "Unknown");
}

}  // namespace

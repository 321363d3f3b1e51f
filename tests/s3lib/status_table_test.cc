// Status numbers callers rely on, and whether a retry may cure the outcomes no wire test meets.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "status_table.h"
#include "vorlan/s3.h"

namespace {

// Names come from the enumerators themselves (status_table.cc checks their order), so the numbers
// are what can change by mistake.
static_assert(S3StatusOK == 0 && S3StatusAbortedByCallback == 1 && S3StatusOutOfMemory == 2 &&
              S3StatusErrorAccessDenied == 49 && S3StatusErrorBadDigest == 52 &&
              S3StatusErrorBucketAlreadyExists == 53 && S3StatusErrorInvalidAccessKeyId == 66 &&
              S3StatusErrorInvalidRange == 79 && S3StatusErrorNoSuchBucket == 101 &&
              S3StatusErrorNoSuchKey == 102 && S3StatusErrorNoSuchUpload == 104 &&
              S3StatusErrorNotSignedUp == 107 && S3StatusErrorPermanentRedirect == 110 &&
              S3StatusErrorSignatureDoesNotMatch == 118 && S3StatusErrorServiceUnavailable == 119 &&
              S3StatusErrorSlowDown == 120 && S3StatusHttpErrorForbidden == 131 &&
              S3StatusHttpErrorNotFound == 132 && S3StatusKeyMissing == 148);

TEST(StatusTable, RetryableOutcomes) {
  using vorlan_s3::status_from_http_code;
  using vorlan_s3::status_from_transport_result;
  struct row {
    const char *name;
    S3Status status;
    bool retryable;
  } rows[] = {
      {"name lookup", status_from_transport_result(CURLE_COULDNT_RESOLVE_HOST), true},
      {"refused connection", status_from_transport_result(CURLE_COULDNT_CONNECT), true},
      {"reset in the handshake", status_from_transport_result(CURLE_SSL_CONNECT_ERROR, ECONNRESET),
       true},
      {"handshake failure", status_from_transport_result(CURLE_SSL_CONNECT_ERROR), false},
      {"certificate", status_from_transport_result(CURLE_PEER_FAILED_VERIFICATION), false},
      {"429", status_from_http_code(429), true},
      {"504", status_from_http_code(504), true},
      {"409", status_from_http_code(409), false},
      {"upload body ended early", S3StatusErrorIncompleteBody, false},
      {"empty truncated page", S3StatusTruncatedEmptyPage, false},
  };
  for (const row &r : rows) {
    EXPECT_EQ(S3_status_is_retryable(r.status) != 0, r.retryable)
        << r.name << ": " << S3_get_status_name(r.status);
  }
  // Service codes reach their statuses in the wire tests; a number past the table has a name.
  EXPECT_STREQ(S3_get_status_name(S3StatusCount), "Unknown");
}

}  // namespace

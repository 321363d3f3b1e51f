// The pieces every request is built from: path splitting and refusal, the attempt loop and its
// back-off, and the reply each S3 status becomes.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "module_test_hooks.h"

namespace {

// Only the first slash after the bucket splits; a path with a dot segment or a bucket name
// that is not plain is refused before it can name anything else.
TEST(PathParse, SplitsAtTheFirstSlashAfterTheBucketAndRefusesDotSegments) {
  struct Case {
    const char *path, *bucket;
    const char *key;  // null: no key
    bool allowed;
  };
  const std::vector<Case> cases = {
      {"/b/dir/file", "b", "dir/file", true},
      {"/b", "b", nullptr, true},
      {"/b/", "b", "", true},
      {"/", "", nullptr, false},
      {"b/k", "b", "k", true},
      {"//k", "", "k", false},
      {"/b/a//c/", "b", "a//c/", true},
      {"/my.bucket-1_x/a..b/.hidden", "my.bucket-1_x", "a..b/.hidden", true},
      {"/allowed/../other/obj", "allowed", "../other/obj", false},
      {"/allowed/dir/.", "allowed", "dir/.", false},
      {"/../obj", "..", "obj", false},
      {"/buck%2Fet/obj", "buck%2Fet", "obj", false},
      {"/a\tb/obj", "a\tb", "obj", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    std::string path = c.path;
    char *bucket = nullptr;
    char *key = reinterpret_cast<char *>(0x1);
    vorlan_i_s3_path_parse(path.data(), &bucket, &key);
    EXPECT_STREQ(bucket, c.bucket);
    EXPECT_STREQ(key, c.key);
    vorlan_result_t result = vorlan_i_s3_path_check(c.path, bucket);
    EXPECT_EQ(result == VORLAN_SUCCESS, c.allowed);
    if (result != VORLAN_SUCCESS) {
      const vorlan_object_t *error = vorlan_error_peek(result);
      EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), 550);
      EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), "PERMISSION_DENIED");
      vorlan_error_release(result);
    }
  }
}

std::vector<unsigned long> sleeps;
void record_sleep(unsigned long usec) { sleeps.push_back(usec); }

// Retries back off from the base delay, doubling, and the first attempt never waits; each
// status line names the worker that made the call, not the loop's helpers.
TEST(RetryLoop, AttemptsAreBoundedByTheRetrySettingAndBackOff) {
  struct Case {
    int32_t max_retries;
    std::vector<S3Status> statuses;  // the attempts' answers in turn; the last one repeats
    int attempts;
    S3Status final_status;
    std::vector<unsigned long> sleeps;
  };
  const S3Status busy = S3StatusErrorServiceUnavailable;
  const std::vector<Case> cases = {
      {0, {busy}, 1, busy, {}},
      {1, {busy}, 2, busy, {100000}},
      {3, {busy}, 4, busy, {100000, 200000, 400000}},
      {3, {S3StatusErrorSlowDown, S3StatusOK}, 2, S3StatusOK, {100000}},
      {3, {S3StatusErrorAccessDenied}, 1, S3StatusErrorAccessDenied, {}},
  };
  vorlan::test::ScopedEnv env;
  env->sleep_us = record_sleep;
  vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_DEBUG);
  vorlan::test::HandlePtr handle = vorlan::test::make_handle("127.0.0.1:1");
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "max_retries=" << c.max_retries
                                    << " first status=" << S3_get_status_name(c.statuses[0]));
    vorlan_i_s3_max_retries = c.max_retries;
    sleeps.clear();
    char bucket[] = "b", key[] = "k";
    vorlan_i_s3_request_t request{};
    request.s3_handle = handle.get();
    request.bucket = bucket;
    request.key = key;
    int attempts = 0;
    std::vector<vorlan_result_t> results;
    vorlan_i_s3_request_retry("worker", &request, "S3_head_object", [&] {
      S3Status status = c.statuses[std::min<size_t>(attempts++, c.statuses.size() - 1)];
      vorlan_i_s3_request_complete(&request, status, nullptr, nullptr);
      if (status != S3StatusOK) results.push_back(request.result.get());
    });
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(request.status, c.final_status);
    EXPECT_EQ(sleeps, c.sleeps);
    EXPECT_EQ(request.result == VORLAN_SUCCESS, c.final_status == S3StatusOK);
    // Only the last attempt's error survives; earlier ones were released when overwritten.
    for (size_t i = 0; i + 1 < results.size(); ++i)
      EXPECT_EQ(vorlan_error_peek(results[i]), nullptr) << "attempt " << i;
    if (request.result != VORLAN_SUCCESS) {
      EXPECT_NE(vorlan::test::error_text(request.result.get()).find("\"b/k\""), std::string::npos);
    }
    std::string lines;
    for (int i = 0; i < c.attempts; ++i) {
      const S3Status status = c.statuses[std::min<size_t>(i, c.statuses.size() - 1)];
      if (status == S3StatusOK) continue;
      lines += std::string("s3: DEBUG: worker: S3_head_object: op=(nil) status=") +
               S3_get_status_name(status) + "[" + std::to_string(status) + "]\n";
    }
    EXPECT_EQ(log.take(), lines);
  }
  vorlan_i_s3_max_retries = 1;
}

TEST(RetryDelay, StaysPositiveAndCappedForHugeSettings) {
  const int32_t saved = vorlan_i_s3_retry_delay_ms;
  const int64_t max = vorlan_i_s3_retry_delay_max_us;
  for (auto [base_ms, try_count, expected_us] : std::vector<std::tuple<int32_t, int32_t, int64_t>>{
           {100, 9, 25600000}, {100, 10, max}, {INT32_MAX, INT32_MAX, max}}) {
    vorlan_i_s3_retry_delay_ms = base_ms;
    EXPECT_EQ(vorlan_i_s3_retry_delay_us(try_count), expected_us)
        << base_ms << " ms, " << try_count;
  }
  vorlan_i_s3_retry_delay_ms = saved;
}

// Every S3 status the module tells apart becomes the reply the client sees: reply code,
// error-type word, headers, and the S3 error's text beneath it.
TEST(ErrorReplyTest, StatusToReplyTable) {
  const S3ErrorDetails with_resource = {"Access Denied.", "/other/resource", "more", 0, nullptr};
  const S3NameValue digests[] = {{"Region", "eu"},
                                 {"CalculatedDigest", "old"},
                                 {"ExpectedDigest", "exp"},
                                 {"CalculatedDigest", "calc"}};
  const S3ErrorDetails bad_digest = {"The Content-MD5 you specified did not match.", nullptr,
                                     nullptr, 4, digests};
  const S3ErrorDetails empty = {nullptr, nullptr, nullptr, 0, nullptr};
  struct Case {
    const char *label;
    S3Status status;
    const char *path;
    const S3ErrorDetails *details;
    int code;
    const char *word;  // null: no reply error wraps the S3 error
    const char *headers;
    // The S3 error's own text; null: the one details without a message give,
    // "S3 Error accessing \"<path>\": <status name>: <status name>: ".
    const char *text = nullptr;
  } cases[] = {
      {"access denied", S3StatusErrorAccessDenied, "/b/k", &with_resource, 550, "PERMISSION_DENIED",
       "", "S3 Error accessing \"/other/resource\": ErrorAccessDenied: Access Denied.: more"},
      {"not signed up", S3StatusErrorNotSignedUp, "/b/k", nullptr, 550, "PERMISSION_DENIED", ""},
      {"bad digest, later detail wins", S3StatusErrorBadDigest, "/b/k", &bad_digest, 550,
       "INCORRECT_CHECKSUM", "GridFTP-Computed-Checksum: calc\nGridFTP-Expected-Checksum: exp",
       "S3 Error accessing \"/b/k\": ErrorBadDigest: The Content-MD5 you specified did not "
       "match.: "},
      {"bad digest, no details", S3StatusErrorBadDigest, "/b/k", nullptr, 550, "INCORRECT_CHECKSUM",
       "GridFTP-Computed-Checksum: \nGridFTP-Expected-Checksum: "},
      {"bucket exists", S3StatusErrorBucketAlreadyExists, "/newbucket", nullptr, 553, "PATH_EXISTS",
       "GridFTP-Path: /newbucket"},
      {"bucket exists, no path", S3StatusErrorBucketAlreadyExists, nullptr, nullptr, 553,
       "PATH_EXISTS", "GridFTP-Path: "},
      // A refused key pair is told as such, without the service's signature internals.
      {"bad key id", S3StatusErrorInvalidAccessKeyId, "/b", &with_resource, 530, "LOGIN_DENIED", "",
       "S3 Error accessing \"/other/resource\": ErrorInvalidAccessKeyId: The service refused the "
       "key pair: it knows no such access key id: check \"access_key_id\" in the token document"},
      {"bad signature", S3StatusErrorSignatureDoesNotMatch, "/b", nullptr, 530, "LOGIN_DENIED", "",
       "S3 Error accessing \"/b\": ErrorSignatureDoesNotMatch: The service refused the key pair: "
       "its secret access key is not the one of the access key id: check \"secret_access_key\" "
       "in the token document"},
      {"clock skew", S3StatusErrorRequestTimeTooSkewed, "/b", nullptr, 530, "LOGIN_DENIED", "",
       "S3 Error accessing \"/b\": ErrorRequestTimeTooSkewed: The service refused the request's "
       "time: this host's clock is more than 15 minutes off the service's: set the clock right "
       "(NTP)"},
      {"invalid range", S3StatusErrorInvalidRange, "/b/k", nullptr, 553, "APPEND_NOT_SUPPORTED",
       ""},
      {"no such bucket", S3StatusErrorNoSuchBucket, "/b", nullptr, 550, "PATH_NOT_FOUND",
       "GridFTP-Path: \"/b\""},
      {"no such key names the path, not the resource", S3StatusErrorNoSuchKey, "/b/k",
       &with_resource, 550, "PATH_NOT_FOUND", "GridFTP-Path: \"/b/k\"",
       "S3 Error accessing \"/other/resource\": ErrorNoSuchKey: Access Denied.: more"},
      {"no such key, no path", S3StatusErrorNoSuchKey, nullptr, nullptr, 550, "PATH_NOT_FOUND", ""},
      {"plain 404", S3StatusHttpErrorNotFound, "/b/k", &empty, 550, "PATH_NOT_FOUND",
       "GridFTP-Path: \"/b/k\""},
      {"no such upload", S3StatusErrorNoSuchUpload, "/b/k", nullptr, 553,
       "MULTI_PART_UPLOAD_NOT_FOUND", ""},
      {"unavailable", S3StatusErrorServiceUnavailable, "/b", nullptr, 451, "TOO_BUSY", ""},
      {"slow down", S3StatusErrorSlowDown, "/b", nullptr, 451, "TOO_BUSY", ""},
      {"initialisation failure is unwrapped", S3StatusInternalError, "initialization", nullptr, 0,
       nullptr, ""},
      {"plain 403 is unwrapped", S3StatusHttpErrorForbidden, nullptr, nullptr, 0, nullptr, ""},
  };
  for (const Case &c : cases) {
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
    EXPECT_STREQ(vorlan_error_get_source_file(s3_error), "module_base");
    const std::string name = S3_get_status_name(c.status);
    const std::string text = c.text != nullptr
                                 ? c.text
                                 : "S3 Error accessing \"" + std::string(c.path ? c.path : "") +
                                       "\": " + name + ": " + name + ": ";
    EXPECT_EQ(vorlan_error_get_long_desc(s3_error), text);
    EXPECT_EQ(vorlan_error_get_cause(s3_error), nullptr);
    vorlan_object_free(error);
  }
}

}  // namespace

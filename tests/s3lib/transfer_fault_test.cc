// What the library makes of a misbehaving service: every fault must end in the right status,
// and never in a success that hands the caller wrong or partial data.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "s3_sync_calls.h"
#include "vorlan/s3.h"

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorlan::test {
namespace {

using std::chrono::milliseconds;

class TransferFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr),
              S3StatusOK);
    server_.create_bucket("bucket");
    bucket_ = {.host = server_.host(), .bucket = "bucket"};
    big_.resize(1 << 20);
    for (size_t i = 0; i < big_.size(); ++i) big_[i] = static_cast<char>(i * 7 + (i >> 10));
    server_.put_object("bucket", "big", big_);
  }
  void TearDown() override { S3_deinitialize(); }

  FakeS3Server server_;
  S3Target bucket_;
  std::string big_;
};

// Error answers map to their status; broken bodies fail instead of succeeding; either way the
// caller gets no bytes but the object's own, and one completion.
TEST_F(TransferFaults, FaultyAnswersEndInTheirStatusAndRetryability) {
  auto error = [](int h, const char *c) { return FakeS3Fault::error(h, c, "injected"); };
  const auto real = &FakeS3Fault::real_answer;
  const S3Status kFailed = S3StatusInternalError;  // any failure: the cut's cause decides which
  struct Case {
    std::string name;  // without blanks: the service's code, whose message must arrive
    FakeS3Fault fault;
    S3Status expected;
    bool retryable;  // a service that sends more than was asked would do so again
    uint64_t start = 0, count = 0;
  };
  const std::vector<Case> cases = {
      {"SlowDown", error(503, "SlowDown"), S3StatusErrorSlowDown, true},
      {"InternalError", error(500, "InternalError"), S3StatusErrorInternalError, true},
      {"RequestTimeout", error(400, "RequestTimeout"), S3StatusErrorRequestTimeout, true},
      {"ServiceUnavailable", error(503, "ServiceUnavailable"), S3StatusErrorServiceUnavailable,
       true},
      {"bare 503", error(503, ""), S3StatusHttpErrorServiceUnavailable, true},
      {"SomethingNew", error(503, "SomethingNew"), S3StatusHttpErrorServiceUnavailable, true},
      // An error answer whose document is unreadable still fails with the HTTP meaning.
      {"unreadable 503", FakeS3Fault::malformed_xml(503), S3StatusHttpErrorServiceUnavailable,
       true},
      {"bare 403", error(403, ""), S3StatusHttpErrorForbidden, false},
      {"bare 404", error(404, ""), S3StatusHttpErrorNotFound, false},
      {"AccessDenied", error(403, "AccessDenied"), S3StatusErrorAccessDenied, false},
      {"reset mid-body", FakeS3Fault::reset_after(300000), kFailed, true},
      {"reset before the body", FakeS3Fault::reset_after(0), kFailed, true},
      {"short body", FakeS3Fault::short_body(300000), kFailed, true},
      {"short ranged body", FakeS3Fault::short_body(10), kFailed, true, 100, 1000},
      {"body longer than the range", FakeS3Fault::long_body(100), kFailed, false, 100, 1000},
      {"body longer than the object", FakeS3Fault::long_body(100), kFailed, false, 0, 1000},
      {"unmeasured, longer than the range", FakeS3Fault::long_body(100).chunked(), kFailed, false,
       100, 1000},
      {"range ignored, unmeasured", real().ignoring_range().chunked(), kFailed, false, 0, 1000},
      // The whole object may fit the range, but a service that ignored it can not be trusted.
      {"range ignored", real().ignoring_range(), kFailed, false, 0, 2 << 20},
      {"whole object answered in part", real().answering_range("bytes=0-999"), kFailed, true},
      {"range answered in part", real().answering_range("bytes=100-599"), kFailed, true, 100, 1000},
      {"range past the object's end", real().with_header("Content-Range", "bytes 100-1099/1000"),
       kFailed, false, 100, 1000},
      {"range shorter than its body", real().with_header("Content-Range", "bytes 100-599/1048576"),
       kFailed, false, 100, 1000},
      // Ended by the connection's close alone, a body can not be told from a cut one.
      {"unmeasured body cut", FakeS3Fault::short_body(300000).unmeasured(), kFailed, true},
      {"unmeasured body", real().unmeasured(), kFailed, true},
      // libcurl ends the answer at its Content-Length, so the answer itself is whole; what
      // follows must neither reach the caller nor be taken for the next answer (checked below).
      {"bytes beyond Content-Length", FakeS3Fault::trailing_bytes(5000), S3StatusOK, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeS3Fault fault = c.fault;
    server_.add_fault(fault.on("GET", "bucket", "big"));
    S3CallResult get = s3_get(bucket_, "big", {.start = c.start, .count = c.count});
    EXPECT_TRUE(c.expected == kFailed ? get.status != S3StatusOK : get.status == c.expected)
        << S3_get_status_name(get.status);
    EXPECT_EQ(S3_status_is_retryable(get.status) != 0, c.retryable)
        << S3_get_status_name(get.status);
    EXPECT_EQ(get.complete_calls, 1);
    EXPECT_EQ(big_.compare(c.start, get.data.size(), get.data), 0) << "delivered bytes differ";
    if (c.expected != kFailed && c.expected != S3StatusOK) {
      EXPECT_TRUE(get.data.empty());
      EXPECT_EQ(get.properties_calls, 0) << "an error answer's headers are no object's properties";
    }
    EXPECT_TRUE(c.name.find(' ') != std::string::npos || get.message == "injected") << get.message;
    EXPECT_TRUE(c.expected != S3StatusOK || get.data == big_);
  }
  S3CallResult next = s3_get(bucket_, "big");  // every fault was used up
  EXPECT_EQ(next.status, S3StatusOK) << S3_get_status_name(next.status) << " " << next.message;
  EXPECT_TRUE(next.data == big_);
}

TEST_F(TransferFaults, UnusableDocumentsFail) {
  server_.add_fault(FakeS3Fault::malformed_xml().on("GET", "bucket", ""));
  EXPECT_EQ(s3_list(bucket_, nullptr, nullptr, nullptr, 0).status, S3StatusXmlParseFailure);

  server_.add_fault(FakeS3Fault::malformed_xml().on("GET", ""));
  EXPECT_EQ(s3_list_service(bucket_).status, S3StatusXmlParseFailure);
}

// Bodies arrive as stored. Google Cloud decompresses a gzip-encoded object on the way out, and
// then ignores Range, unless the request accepts gzip; the stored bytes are what the size, the
// MD5 and ranges describe. An answer without Content-Length is told from an empty one.
TEST_F(TransferFaults, BodiesArriveAsStored) {
  const FakeS3Object zipped{
      .data = std::string(
          "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x2b\x2e\xc9\x2f\x4a\x4d\x51\x48\x2c\x56\x48\xaf"
          "\xca\x2c\xd0\x51\x28\x4e\x2d\x2a\x83\xf0\x8b\xc1\x32\x5c\xc5\x14\x2b\x00\x00\xf3\x05"
          "\xcc\x93\x63\x00\x00\x00",
          49),
      .content_encoding = "gzip"};
  server_.put_object("bucket", "zipped", zipped);
  S3CallResult whole = s3_get(bucket_, "zipped");
  EXPECT_EQ(whole.status, S3StatusOK) << S3_get_status_name(whole.status);
  EXPECT_EQ(whole.data, zipped.data);
  EXPECT_EQ(whole.etag, "\"" + fake_s3_md5_hex(zipped.data) + "\"");
  EXPECT_EQ(server_.requests().back().header("accept-encoding"), "gzip");
  EXPECT_EQ(s3_get(bucket_, "zipped", {.start = 10, .count = 5}).data, zipped.data.substr(10, 5));

  server_.put_object("bucket", "empty", std::string());
  S3CallResult empty = s3_get(bucket_, "empty");
  EXPECT_TRUE(empty.content_length_known && empty.content_length == 0);
  server_.add_fault(FakeS3Fault::real_answer().chunked().on("GET", "bucket", "big"));
  S3CallResult unmeasured = s3_get(bucket_, "big");
  EXPECT_EQ(unmeasured.status, S3StatusOK) << S3_get_status_name(unmeasured.status);
  EXPECT_FALSE(unmeasured.content_length_known);
  EXPECT_TRUE(unmeasured.data == big_);
}

TEST_F(TransferFaults, CopyAndCompleteAreOnlyASuccessWhenTheServiceConfirmsThem) {
  struct Case {
    std::string name;
    FakeS3Fault fault;
    S3Status expected;
  };
  const std::vector<Case> cases = {
      {"200 with an error", FakeS3Fault::error(200, "InternalError", "copy failed"),
       S3StatusErrorInternalError},
      {"200 without a result", FakeS3Fault::raw(200, ""), S3StatusXmlParseFailure},
      {"200 with broken XML", FakeS3Fault::malformed_xml(), S3StatusXmlParseFailure},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeS3Fault fault = c.fault;
    server_.add_fault(fault.on("PUT", "bucket", "copy"));
    S3CallResult copy = s3_copy(bucket_, "big", nullptr, "copy");
    EXPECT_EQ(copy.status, c.expected) << S3_get_status_name(copy.status);
    server_.add_fault(fault.on("POST", "bucket", "k").with_query("uploadId=u"));
    EXPECT_EQ(s3_complete(bucket_, "k", "u", {{1, "\"e\""}}).status, c.expected);
  }
}

TEST_F(TransferFaults, StalledServerOrEndlessErrorEndsQuickly) {
  S3_set_transfer_timeouts(5, 1);
  server_.add_fault(FakeS3Fault::stall_after(4096, milliseconds(30000)).on("GET"));
  auto started = std::chrono::steady_clock::now();
  S3CallResult get = s3_get(bucket_, "big");
  auto took = std::chrono::steady_clock::now() - started;
  // An error body that never ends is cut at its cap, before the stall that follows its 4 MiB.
  server_.add_fault(FakeS3Fault::endless_error(500).on("GET"));
  S3CallResult endless = s3_get(bucket_, "big");
  S3_set_transfer_timeouts(0, 0);
  EXPECT_EQ(get.status, S3StatusTransportTimedOut) << S3_get_status_name(get.status);
  EXPECT_TRUE(S3_status_is_retryable(get.status));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(endless.status, S3StatusHttpErrorInternalServerError);
  EXPECT_NE(endless.message.find("error body passed 1048576 bytes"), std::string::npos);
  EXPECT_TRUE(s3_get(bucket_, "big").data == big_);
}

// A caller's callback that stops a transfer ends it with the callback's status, and an upload
// that ends early stores nothing; the library still serves whole objects afterwards.
TEST_F(TransferFaults, CallersThatStopEndTheRequestWithTheirStatus) {
  S3CallResult aborted =
      s3_get(bucket_, "big", {.abort_after = 1, .abort_status = S3StatusAbortedByCallback});
  EXPECT_EQ(aborted.status, S3StatusAbortedByCallback);
  EXPECT_LT(aborted.data.size(), big_.size());
  S3CallResult refused = s3_get(bucket_, "big", {.properties_answer = S3StatusAbortedByCallback});
  EXPECT_EQ(refused.status, S3StatusAbortedByCallback);
  EXPECT_TRUE(refused.data.empty());
  EXPECT_EQ(refused.complete_calls, 1);
  S3CallResult listing = s3_list(bucket_, nullptr, nullptr, nullptr, 0, S3StatusInterrupted);
  EXPECT_EQ(listing.status, S3StatusInterrupted);
  EXPECT_EQ(listing.complete_calls, 1);

  server_.put_object("bucket", "old", std::string("previous contents"));
  S3CallResult ended =
      s3_put(bucket_, "old", big_.substr(0, 100000), {.declared_length = big_.size()});
  EXPECT_NE(ended.status, S3StatusOK);
  EXPECT_EQ(server_.object("bucket", "old")->data, "previous contents");
  EXPECT_EQ(s3_put(bucket_, "fresh", big_, {.fail_after = 200000}).status,
            S3StatusAbortedByCallback);
  EXPECT_FALSE(server_.object("bucket", "fresh"));
  EXPECT_TRUE(s3_get(bucket_, "big").data == big_);
}

TEST_F(TransferFaults, PathsGoOutExactlyAsEncoded) {
  struct Case {
    std::string key;
    S3UriStyle style;
    std::string host_prefix, path;
  };
  const std::vector<Case> cases = {
      {"a+b", S3UriStylePath, "", "/bucket/a%2Bb"},
      {"sp ace/q?h#p%", S3UriStylePath, "", "/bucket/sp%20ace/q%3Fh%23p%25"},
      {"dir/../x/./y", S3UriStylePath, "", "/bucket/dir/../x/./y"},
      {"\xc3\xbc", S3UriStylePath, "", "/bucket/%C3%BC"},
      {"a+b", S3UriStyleVirtualHost, "bucket.", "/a%2Bb"},
      {"dir/../x", S3UriStyleVirtualHost, "bucket.", "/dir/../x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key);
    S3Target target = bucket_;
    target.style = c.style;
    target.host = "localhost:" + std::to_string(server_.port());
    server_.clear_requests();
    ASSERT_EQ(s3_put(target, c.key.c_str(), "data").status, S3StatusOK);
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].path, c.path);
    EXPECT_EQ(requests[0].host, c.host_prefix + target.host);
  }
}

// A kept-alive connection that the server closes as a request arrives: libcurl resends on a
// new connection, which a fixed body allows and a body already pulled from the caller does not.
TEST_F(TransferFaults, RequestOnAConnectionClosedUnderItIsResentOrRetryable) {
  S3Target located = bucket_;
  located.bucket = "located";
  ASSERT_EQ(s3_head(bucket_, "big").status, S3StatusOK);
  server_.add_fault(FakeS3Fault::close_unanswered().on("PUT", "located", ""));
  S3CallResult created = s3_create_bucket(located, "europe-west3");
  EXPECT_EQ(created.status, S3StatusOK) << S3_get_status_name(created.status);
  EXPECT_EQ(server_.count("PUT"), 2U);
  EXPECT_EQ(s3_head(located, nullptr).bucket_region, "europe-west3");

  ASSERT_EQ(s3_head(bucket_, "big").status, S3StatusOK);
  server_.add_fault(FakeS3Fault::close_unanswered().on("PUT", "bucket", "new"));
  S3CallResult put = s3_put(bucket_, "new", big_);
  EXPECT_EQ(put.status, S3StatusTransportConnectionReset) << S3_get_status_name(put.status);
  EXPECT_FALSE(server_.object("bucket", "new"));
}

// Against a verifier of every signature: an object assembled from whole, checked parts with
// the creation's properties, or, once aborted, nothing left.
TEST_F(TransferFaults, MultipartUploadsStoreTheWholeObjectOrNothing) {
  FakeS3Server server(
      {.auth = FakeS3Server::Auth::kSigV4, .max_part_number = 3, .min_part_size = 1000});
  server.create_bucket("mp");
  const S3Target mp{.host = server.host(),
                    .bucket = "mp",
                    .access_key_id = "AKIDFAKE",
                    .secret_access_key = "fake-secret"};
  const S3NameValue meta = {"mtime", "1700000000"};
  // Every part carries its CRC32C, announced at creation as S3 requires.
  const S3PutProperties properties{.contentType = "text/x-parts",
                                   .expires = -1,
                                   .metaDataCount = 1,
                                   .metaData = &meta,
                                   .crc32c = ""};
  struct Case {
    std::string name;
    std::vector<int> numbers;  // each part 5000 bytes but one, 7: the last unless named
    S3Status expected;
    int bad_md5_number = 0, small_number = 0, bad_crc32c_number = 0;
  };
  const std::vector<Case> cases = {
      {"round trip", {1, 2, 3}, S3StatusOK},
      {"wrong Content-MD5", {1, 2}, S3StatusErrorBadDigest, 2},
      {"wrong part CRC32C", {1, 2}, S3StatusErrorBadDigest, 0, 0, 1},
      {"part number past the limit", {1, 4}, S3StatusErrorInvalidArgument},
      {"part too small", {1, 2}, S3StatusErrorEntityTooSmall, 0, 1},
      {"parts out of order", {2, 1}, S3StatusErrorInvalidPartOrder},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    S3CallResult created = s3_initiate(mp, "k", &properties);
    std::string data;
    std::vector<std::string> etags, crcs;
    S3CallResult sent = created;
    for (size_t i = 0; i < c.numbers.size() && sent.status == S3StatusOK; ++i) {
      const int small = c.small_number ? c.small_number : c.numbers.back();
      const std::string part = big_.substr(data.size(), c.numbers[i] == small ? 7 : 5000);
      const std::string md5 = fake_s3_md5_base64(c.numbers[i] == c.bad_md5_number ? "x" : part);
      crcs.push_back(fake_s3_crc32c_base64(c.numbers[i] == c.bad_crc32c_number ? "x" : part));
      sent = s3_upload_part(mp, "k", created.upload_id, c.numbers[i], part, md5.c_str(),
                            crcs.back().c_str());
      data += part;
      etags.push_back(sent.etag);
    }
    std::vector<S3CompletedPart> parts;
    for (size_t i = 0; i < etags.size(); ++i) {
      parts.push_back({c.numbers[i], etags[i].c_str(), crcs[i].c_str()});
    }
    if (sent.status == S3StatusOK) sent = s3_complete(mp, "k", created.upload_id, parts);
    EXPECT_EQ(sent.status, c.expected) << S3_get_status_name(sent.status);
    S3CallResult got = s3_get(mp, "k");
    if (sent.status == S3StatusOK) {
      EXPECT_TRUE(got.data == data);
      EXPECT_EQ(got.etag, sent.etag);
      EXPECT_TRUE(sent.etag.ends_with("-3\""));
      EXPECT_EQ(got.content_type + " " + got.metadata["mtime"], "text/x-parts 1700000000");
      EXPECT_EQ(s3_delete(mp, "k").status, S3StatusOK);
    } else {
      EXPECT_EQ(got.status, S3StatusErrorNoSuchKey);
      EXPECT_EQ(s3_list_uploads(mp).keys, std::vector<std::string>{"k"});
      EXPECT_EQ(s3_abort(mp, "k", created.upload_id).status, S3StatusOK);
    }
    EXPECT_TRUE(s3_list_uploads(mp).keys.empty() && server.uploads_in_progress("mp").empty());
  }
  EXPECT_EQ(server.requests().front().header("x-amz-checksum-algorithm"), "CRC32C");
}

}  // namespace
}  // namespace vorlan::test

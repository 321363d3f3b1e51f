// Every request kind against s3rver, signed with Signature V4: what we send must be understood
// by a server we did not write.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "vorlan/s3.h"

namespace vorlan::test {
namespace {

// 1024 bytes, the longest key; s3rver keeps keys as file paths, so no segment exceeds 255.
std::string long_key() {
  std::string key;
  while (key.size() + 201 <= 1024) key += std::string(200, 'k') + "/";
  return key + std::string(1024 - key.size(), 'e');
}

class S3rverRequests : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr),
              S3StatusOK);
    // The endpoint lets the same server take virtual-host style as well.
    server_ = new S3rverFixture({.service_endpoint = "localhost"});
  }
  static void TearDownTestSuite() {
    delete server_;
    S3_deinitialize();
  }

  void SetUp() override { ASSERT_TRUE(server_->ok()) << server_->error(); }

  static S3Target target(const std::string &bucket) {
    S3Target target;
    target.host = server_->host();
    target.bucket = bucket;
    target.access_key_id = S3rverFixture::kAccessKeyId;
    target.secret_access_key = S3rverFixture::kSecretAccessKey;
    return target;
  }

  static S3Target fresh_bucket(const std::string &name) {
    S3Target bucket = target(name);
    EXPECT_EQ(s3_create_bucket(bucket).status, S3StatusOK);
    return bucket;
  }

  static S3rverFixture *server_;
};

S3rverFixture *S3rverRequests::server_ = nullptr;

TEST_F(S3rverRequests, BucketLifecycleAndServiceListing) {
  S3Target bucket = target("lifecycle");
  EXPECT_EQ(s3_head(bucket, nullptr).status, S3StatusHttpErrorNotFound);
  EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusErrorNoSuchBucket);
  ASSERT_EQ(s3_create_bucket(bucket).status, S3StatusOK);

  S3CallResult service = s3_list_service(bucket);
  ASSERT_EQ(service.status, S3StatusOK);
  EXPECT_NE(std::find(service.buckets.begin(), service.buckets.end(), "lifecycle"),
            service.buckets.end());

  S3CallResult head = s3_head(bucket, nullptr);
  EXPECT_EQ(head.status, S3StatusOK);
  EXPECT_FALSE(head.has_bucket_region);  // s3rver sends no region

  ASSERT_EQ(s3_put(bucket, "keep", "x").status, S3StatusOK);
  EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusErrorBucketNotEmpty);
  ASSERT_EQ(s3_delete(bucket, "keep").status, S3StatusOK);
  EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusOK);
  EXPECT_EQ(s3_head(bucket, nullptr).status, S3StatusHttpErrorNotFound);
}

TEST_F(S3rverRequests, KeysRoundTripWithDataMetadataAndListing) {
  S3Target bucket = fresh_bucket("keys");
  const std::vector<std::string> keys = {
      "plain",
      "with space",
      "a+b",
      "100%",
      "what?x=1",
      "hash#tag",
      "amp&semi;eq=",
      "unicode-\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac",
      "dir/sub/file.txt",
      // Dot segments are checked against the fake: s3rver's file store folds them.
      long_key(),
  };
  S3NameValue meta[] = {{"color", "blue"}, {"owner-name", "Ada Lovelace"}};
  S3PutProperties properties{};
  properties.contentType = "text/plain";
  properties.expires = -1;
  properties.metaDataCount = 2;
  properties.metaData = meta;
  for (const auto &key : keys) {
    SCOPED_TRACE("key " + key.substr(0, 40));
    std::string data = "contents of " + key;
    S3PutOptions put;
    put.properties = &properties;
    ASSERT_EQ(s3_put(bucket, key.c_str(), data, put).status, S3StatusOK);

    S3CallResult head = s3_head(bucket, key.c_str());
    ASSERT_EQ(head.status, S3StatusOK);
    EXPECT_EQ(head.content_length, data.size());
    EXPECT_EQ(head.content_type, "text/plain");
    EXPECT_EQ(head.etag, "\"" + fake_s3_md5_hex(data) + "\"");
    EXPECT_EQ(head.sse, S3_SSE_NONE);
    EXPECT_GT(head.last_modified, 0);
    EXPECT_EQ(head.metadata["color"], "blue");
    EXPECT_EQ(head.metadata["owner-name"], "Ada Lovelace");

    S3CallResult get = s3_get(bucket, key.c_str());
    ASSERT_EQ(get.status, S3StatusOK);
    EXPECT_EQ(get.data, data);

    S3CallResult list = s3_list(bucket, key.c_str(), nullptr, nullptr, 0);
    ASSERT_EQ(list.status, S3StatusOK);
    ASSERT_EQ(list.keys.size(), 1U);
    EXPECT_EQ(list.keys[0], key);
    EXPECT_EQ(list.sizes[0], data.size());
  }
  for (const auto &key : keys) {
    ASSERT_EQ(s3_delete(bucket, key.c_str()).status, S3StatusOK);
    EXPECT_EQ(s3_head(bucket, key.c_str()).status, S3StatusHttpErrorNotFound);
  }
  EXPECT_EQ(s3_get(bucket, "absent").status, S3StatusErrorNoSuchKey);
}

TEST_F(S3rverRequests, RangesAndTheRangeAfterTheEnd) {
  S3Target bucket = fresh_bucket("ranges");
  const std::string data = "0123456789abcdefghij";
  ASSERT_EQ(s3_put(bucket, "r", data).status, S3StatusOK);
  struct Case {
    uint64_t start, count;
    std::string expected;
  };
  // "bytes=0-0" is left out: s3rver answers it with the whole object.
  for (const Case &c : {Case{0, 0, data}, Case{5, 3, "567"}, Case{15, 0, "fghij"}, Case{19, 1, "j"},
                        Case{1, 1, "1"}}) {
    SCOPED_TRACE(std::to_string(c.start) + "+" + std::to_string(c.count));
    S3CallResult get = s3_get(bucket, "r", {.start = c.start, .count = c.count});
    ASSERT_EQ(get.status, S3StatusOK);
    EXPECT_EQ(get.data, c.expected);
  }
  S3CallResult beyond = s3_get(bucket, "r", {.start = 20, .count = 5});
  EXPECT_EQ(beyond.status, S3StatusErrorInvalidRange);
  EXPECT_EQ(beyond.extra["ActualObjectSize"], "20");
  EXPECT_EQ(beyond.extra["RangeRequested"], "bytes=20-24");
  EXPECT_TRUE(beyond.data.empty());
}

TEST_F(S3rverRequests, CopyKeepsOrReplacesMetadata) {
  S3Target bucket = fresh_bucket("copies");
  S3Target other = fresh_bucket("copies-other");
  S3NameValue meta[] = {{"origin", "first"}};
  S3PutProperties original{};
  original.contentType = "application/x-original";
  original.expires = -1;
  original.metaDataCount = 1;
  original.metaData = meta;
  S3PutOptions put;
  put.properties = &original;
  ASSERT_EQ(s3_put(bucket, "source key", "copied bytes", put).status, S3StatusOK);

  S3CallResult kept = s3_copy(bucket, "source key", "copies-other", "dir/kept copy");
  ASSERT_EQ(kept.status, S3StatusOK);
  EXPECT_EQ(kept.copy_etag, "\"" + fake_s3_md5_hex("copied bytes") + "\"");
  EXPECT_GT(kept.copy_last_modified, 0);
  S3CallResult head = s3_head(other, "dir/kept copy");
  ASSERT_EQ(head.status, S3StatusOK);
  EXPECT_EQ(head.metadata["origin"], "first");
  EXPECT_EQ(head.content_type, "application/x-original");
  EXPECT_EQ(s3_get(other, "dir/kept copy").data, "copied bytes");

  S3NameValue replaced_meta[] = {{"origin", "second"}};
  S3PutProperties replaced = original;
  replaced.contentType = "text/plain";
  replaced.metaData = replaced_meta;
  ASSERT_EQ(s3_copy(bucket, "source key", nullptr, "replaced", &replaced).status, S3StatusOK);
  head = s3_head(bucket, "replaced");
  EXPECT_EQ(head.metadata["origin"], "second");
  EXPECT_EQ(head.content_type, "text/plain");

  EXPECT_EQ(s3_copy(bucket, "no such source", nullptr, "x").status, S3StatusErrorNoSuchKey);
  EXPECT_EQ(s3_head(bucket, "x").status, S3StatusHttpErrorNotFound);
}

TEST_F(S3rverRequests, ListingPagesPrefixesAndDelimiters) {
  S3Target bucket = fresh_bucket("listing");
  const std::vector<std::string> keys = {"a/1", "a/2", "a/b/3", "b", "c/4", "c/5", "d"};
  for (const auto &key : keys) ASSERT_EQ(s3_put(bucket, key.c_str(), key).status, S3StatusOK);

  // Paging with max-keys 2 by the last key returned reaches every key once, in order.
  std::vector<std::string> seen;
  std::string marker;
  for (int page = 0; page < 10; ++page) {
    S3CallResult list =
        s3_list(bucket, nullptr, marker.empty() ? nullptr : marker.c_str(), nullptr, 2);
    ASSERT_EQ(list.status, S3StatusOK);
    ASSERT_LE(list.keys.size(), 2U);
    seen.insert(seen.end(), list.keys.begin(), list.keys.end());
    if (!list.truncated) break;
    marker = list.next_marker.empty() ? list.keys.back() : list.next_marker;
  }
  EXPECT_EQ(seen, keys);

  S3CallResult top = s3_list(bucket, nullptr, nullptr, "/", 0);
  ASSERT_EQ(top.status, S3StatusOK);
  EXPECT_EQ(top.keys, (std::vector<std::string>{"b", "d"}));
  EXPECT_EQ(top.common_prefixes, (std::vector<std::string>{"a/", "c/"}));
  EXPECT_FALSE(top.truncated);

  S3CallResult inside = s3_list(bucket, "a/", nullptr, "/", 0);
  ASSERT_EQ(inside.status, S3StatusOK);
  EXPECT_EQ(inside.keys, (std::vector<std::string>{"a/1", "a/2"}));
  EXPECT_EQ(inside.common_prefixes, (std::vector<std::string>{"a/b/"}));

  S3CallResult after = s3_list(bucket, nullptr, "c/4", nullptr, 0);
  EXPECT_EQ(after.keys, (std::vector<std::string>{"c/5", "d"}));
}

TEST_F(S3rverRequests, CredentialsTheServerChecks) {
  S3Target bucket = fresh_bucket("credentials");
  ASSERT_EQ(s3_put(bucket, "k", "v").status, S3StatusOK);
  S3Target stranger = bucket;
  stranger.access_key_id = "NOTKNOWN";
  EXPECT_EQ(s3_get(stranger, "k").status, S3StatusErrorInvalidAccessKeyId);
  S3Target anonymous = bucket;
  anonymous.access_key_id.clear();
  anonymous.secret_access_key.clear();
  S3CallResult get = s3_get(anonymous, "k");
  EXPECT_EQ(get.status, S3StatusOK);
  EXPECT_EQ(get.data, "v");
}

TEST_F(S3rverRequests, RequestsWithTheBucketInTheHostName) {
  S3Target bucket = target("vhost");
  bucket.host = "s3.localhost:" + std::to_string(server_->port());
  bucket.style = S3UriStyleVirtualHost;
  ASSERT_EQ(s3_create_bucket(bucket).status, S3StatusOK);
  ASSERT_EQ(s3_put(bucket, "dir/a+b c", "virtual").status, S3StatusOK);
  EXPECT_EQ(s3_get(bucket, "dir/a+b c").data, "virtual");
  EXPECT_EQ(s3_head(bucket, "dir/a+b c").content_length, 7U);
  EXPECT_EQ(s3_list(bucket, "dir/", nullptr, nullptr, 0).keys,
            (std::vector<std::string>{"dir/a+b c"}));
  EXPECT_EQ(s3_delete(bucket, "dir/a+b c").status, S3StatusOK);
  EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusOK);
}

}  // namespace
}  // namespace vorlan::test

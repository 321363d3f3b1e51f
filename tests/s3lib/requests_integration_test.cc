// Every request kind against s3rver, signed with Signature V4: what we send must be understood
// by a server we did not write.
#include <gtest/gtest.h>

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

  static S3Target fresh_bucket(const std::string &name, S3UriStyle style = S3UriStylePath) {
    S3Target bucket;
    bucket.host = style == S3UriStylePath ? server_->host()
                                          : "s3.localhost:" + std::to_string(server_->port());
    bucket.style = style;
    bucket.bucket = name;
    bucket.access_key_id = S3rverFixture::kAccessKeyId;
    bucket.secret_access_key = S3rverFixture::kSecretAccessKey;
    EXPECT_EQ(s3_create_bucket(bucket).status, S3StatusOK);
    return bucket;
  }

  static S3rverFixture *server_;
};

S3rverFixture *S3rverRequests::server_ = nullptr;

// Each key is signed, sent, listed and deleted in both URI styles; a bucket with a key left in
// it cannot be deleted.
TEST_F(S3rverRequests, KeysRoundTripWithDataMetadataAndListing) {
  const std::vector<std::string> keys = {
      "plain", "with space", "a+b", "100%", "what?x=1", "hash#tag",
      "amp&semi;eq=", "unicode-\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac", "dir/sub/file.txt",
      // Dot segments are checked against the fake: s3rver's file store folds them.
      long_key()};
  S3NameValue meta[] = {{"color", "blue"}, {"owner-name", "Ada Lovelace"}};
  S3PutProperties properties{};
  properties.contentType = "text/plain";
  properties.expires = -1;
  properties.metaDataCount = 2;
  properties.metaData = meta;
  S3PutOptions put;
  put.properties = &properties;
  for (S3UriStyle style : {S3UriStylePath, S3UriStyleVirtualHost}) {
    S3Target bucket = fresh_bucket(style == S3UriStylePath ? "keys" : "vhost", style);
    for (const auto &key : keys) {
      SCOPED_TRACE(bucket.bucket + " key " + key.substr(0, 40));
      std::string data = "contents of " + key;
      ASSERT_EQ(s3_put(bucket, key.c_str(), data, put).status, S3StatusOK);

      S3CallResult head = s3_head(bucket, key.c_str());
      ASSERT_EQ(head.status, S3StatusOK);
      EXPECT_EQ(head.content_length, data.size());
      EXPECT_EQ(head.content_type, "text/plain");
      EXPECT_EQ(head.etag, "\"" + fake_s3_md5_hex(data) + "\"");
      EXPECT_EQ(head.metadata["owner-name"], "Ada Lovelace");
      EXPECT_EQ(s3_get(bucket, key.c_str()).data, data);

      S3CallResult list = s3_list(bucket, key.c_str(), nullptr, nullptr, 0);
      ASSERT_EQ(list.status, S3StatusOK);
      EXPECT_EQ(list.keys, std::vector<std::string>{key});
    }
    EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusErrorBucketNotEmpty);
    for (const auto &key : keys) {
      ASSERT_EQ(s3_delete(bucket, key.c_str()).status, S3StatusOK);
      EXPECT_EQ(s3_head(bucket, key.c_str()).status, S3StatusHttpErrorNotFound);
    }
    EXPECT_EQ(s3_get(bucket, "absent").status, S3StatusErrorNoSuchKey);
    EXPECT_EQ(s3_delete_bucket(bucket).status, S3StatusOK);
  }
}

// A download restarted at the object's end meets InvalidRange; the module reads the object's
// size from these details.
TEST_F(S3rverRequests, TheRangeAfterTheEndCarriesTheObjectsSize) {
  S3Target bucket = fresh_bucket("ranges");
  const std::string data = "0123456789abcdefghij";
  ASSERT_EQ(s3_put(bucket, "r", data).status, S3StatusOK);
  EXPECT_EQ(s3_get(bucket, "r", {.start = 15, .count = 0}).data, "fghij");
  S3CallResult beyond = s3_get(bucket, "r", {.start = 20, .count = 5});
  EXPECT_EQ(beyond.status, S3StatusErrorInvalidRange);
  EXPECT_EQ(beyond.extra["ActualObjectSize"], "20");
  EXPECT_EQ(beyond.extra["RangeRequested"], "bytes=20-24");
  EXPECT_TRUE(beyond.data.empty());
}

}  // namespace
}  // namespace vorlan::test

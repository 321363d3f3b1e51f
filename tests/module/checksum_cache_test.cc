// The checksum cache and the test of whether an ETag is the object's MD5.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "temp_dir.h"
#include "vorlan_i_s3.h"

namespace {

using vorlan::test::TempDir;

class ChecksumCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VORLAN_GRIDFTP_SERVER_LOG", log_path_.c_str(), 1);
    vorlan_i_s3_checksum_cache_init();
  }
  void TearDown() override {
    vorlan_i_s3_checksum_cache_destroy();
    unsetenv("VORLAN_GRIDFTP_SERVER_LOG");
  }
  static std::string find(const char *bucket, const char *key, const char *etag, uint64_t size) {
    char checksum[33] = "untouched";
    if (!vorlan_i_s3_checksum_find(bucket, key, etag, size, checksum)) {
      EXPECT_STREQ(checksum, "untouched");
      return "<miss>";
    }
    return checksum;
  }
  TempDir dir_;
  const std::string log_path_ = dir_.path() + "/server.log";
};

TEST_F(ChecksumCacheTest, FindNeedsSameEtagAndSizeAndInvalidEntriesAreRefused) {
  const char *c1 = "0cc175b9c0f1b6a831c399e269772661";
  ASSERT_EQ(vorlan_i_s3_checksum_add("b", "k", "\"e1\"", 10, c1), VORLAN_SUCCESS);
  EXPECT_EQ(find("b", "k", "\"e1\"", 10), c1);
  EXPECT_EQ(find("b", "k", "\"e1\"", 11), "<miss>");
  EXPECT_EQ(find("b", "k", "\"E1\"", 10), "<miss>");
  EXPECT_EQ(find("b", "k", "\"e2\"", 10), "<miss>");
  EXPECT_EQ(find("b", "k", nullptr, 10), "<miss>");
  EXPECT_EQ(find("c", "k", "\"e1\"", 10), "<miss>");

  // The newest add for a path replaces the entry as a whole.
  const char *c2 = "900150983cd24fb0d6963f7d28e17f72";
  ASSERT_EQ(vorlan_i_s3_checksum_add("b", "k", "\"e2\"", 20, c2), VORLAN_SUCCESS);
  EXPECT_EQ(find("b", "k", "\"e2\"", 20), c2);
  EXPECT_EQ(find("b", "k", "\"e1\"", 10), "<miss>");
  EXPECT_EQ(find("b", "k", "\"e2\"", 10), "<miss>");

  // Invalid entries are refused and reported; the valid one stays.
  EXPECT_EQ(vorlan_i_s3_checksum_add("b", "k", nullptr, 1, "abc"), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_i_s3_checksum_add("b", "k", "\"e9\"", 1, ""), VORLAN_SUCCESS);
  EXPECT_EQ(find("b", "k", "\"e2\"", 20), c2);
  EXPECT_EQ(TempDir::read(log_path_),
            "WARN: Can not cache invalid checksum:  path: 'b/k', checksum: 'abc', etag: ''\n"
            "WARN: Can not cache invalid checksum:  path: 'b/k', checksum: '', etag: '\"e9\"'\n");
}

TEST_F(ChecksumCacheTest, CapEvictsOldestInsertion) {
  const int cap = vorlan_i_s3_checksum_cache_max_entries;
  for (int i = 0; i < cap; i++)
    vorlan_i_s3_checksum_add("b", std::to_string(i).c_str(), "\"e\"", i, "sum");
  // Replacing key 0 makes it the newest: key 1 is now the oldest.
  vorlan_i_s3_checksum_add("b", "0", "\"e\"", 0, "new");
  vorlan_i_s3_checksum_add("b", "overflow", "\"e\"", 7, "sum7");
  EXPECT_EQ(find("b", "1", "\"e\"", 1), "<miss>");
  EXPECT_EQ(find("b", "0", "\"e\"", 0), "new");
  EXPECT_EQ(find("b", "2", "\"e\"", 2), "sum");
  EXPECT_EQ(find("b", std::to_string(cap - 1).c_str(), "\"e\"", cap - 1), "sum");
  EXPECT_EQ(find("b", "overflow", "\"e\"", 7), "sum7");
}

TEST(MetadataHasChecksumTest, OnlyAQuotedMd5Counts) {
  struct Case {
    const char *etag;
    char encryption;
    bool expected;
  } cases[] = {
      {"\"0cc175b9c0f1b6a831c399e269772661\"", S3_SSE_NONE, true},
      {"\"0123456789abcdefABCDEF0123456789\"", S3_SSE_S3, true},
      {"\"0cc175b9c0f1b6a831c399e269772661\"", S3_SSE_ETAG_NOT_MD5, false},
      {"\"0cc175b9c0f1b6a831c399e269772661-2\"", S3_SSE_NONE, false},
      {"\"0cc175b9c0f1b6a831c399e269772661-", S3_SSE_NONE, false},
      {"0cc175b9c0f1b6a831c399e269772661", S3_SSE_NONE, false},
      {"\"0cc175b9c0f1b6a831c399e26977266g\"", S3_SSE_NONE, false},
      {"\"0cc175b9c0f1b6a831c399e26977266\"", S3_SSE_NONE, false},
      {nullptr, S3_SSE_NONE, false},
  };
  for (const Case &c : cases) {
    S3ResponseProperties properties{};
    properties.eTag = c.etag;
    properties.usesServerSideEncryption = c.encryption;
    EXPECT_EQ(vorlan_i_s3_metadata_has_checksum(&properties), c.expected)
        << vorlan_i_s3_str(c.etag) << " encryption " << int(c.encryption);
  }
  EXPECT_FALSE(vorlan_i_s3_metadata_has_checksum(nullptr));
}

}  // namespace

// The digests, the checksum cache and the test of whether an ETag is the object's MD5.
#include <gtest/gtest.h>

#include <algorithm>
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

// An entry is one object version (path, ETag, size) and a find needs all three. Values of the
// version join its entry, another version's replace it; invalid adds are refused and reported.
TEST_F(ChecksumCacheTest, EntriesAreObjectVersions) {
  struct Step {
    const char *etag;
    vorlan_i_s3_checksums add, found;  // found: for "e1" and size 10
  } steps[] = {
      {"\"e1\"", {.md5 = "m1"}, {.md5 = "m1"}},
      {"\"e1\"", {.adler32 = "a1"}, {.md5 = "m1", .adler32 = "a1"}},
      {"\"e1\"", {.adler32 = "a2", .crc32c = "c1"}, {.md5 = "m1", .adler32 = "a2", .crc32c = "c1"}},
      {"\"e2\"", {.crc32c = "c2"}, {}},
      {"\"e1\"", {.md5 = "m2"}, {.md5 = "m2"}},
  };
  for (const Step &step : steps) {
    vorlan_i_s3_checksums_add("b", "k", step.etag, 10, step.add);
    for (int i = 0; i < vorlan_i_s3_algorithm_count; ++i) {
      const auto algorithm = static_cast<vorlan_i_s3_algorithm>(i);
      char found[33] = "";
      vorlan_i_s3_checksum_find_algorithm("b", "k", "\"e1\"", 10, algorithm, found);
      EXPECT_STREQ(found, step.found.of(algorithm)) << vorlan_i_s3_algorithm_name(algorithm);
    }
  }
  EXPECT_EQ(find("b", "k", "\"e1\"", 10), "m2");
  EXPECT_EQ(find("b", "k", "\"e1\"", 11), "<miss>");
  EXPECT_EQ(find("b", "k", "\"E1\"", 10), "<miss>");
  EXPECT_EQ(find("b", "k", nullptr, 10), "<miss>");
  EXPECT_EQ(find("c", "k", "\"e1\"", 10), "<miss>");
  EXPECT_EQ(vorlan_i_s3_checksum_add("b", "k", nullptr, 1, "abc"), VORLAN_SUCCESS);
  EXPECT_EQ(vorlan_i_s3_checksum_add("b", "k", "\"e9\"", 1, ""), VORLAN_SUCCESS);
  EXPECT_EQ(find("b", "k", "\"e1\"", 10), "m2");
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

// Python's hashlib.md5, zlib.adler32 and crc32c.crc32c of the bytes.
TEST(DigestTest, MatchesIndependentImplementations) {
  auto pattern = [](size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
    return data;
  };
  const std::string cases[][4] = {
      {pattern(0), "d41d8cd98f00b204e9800998ecf8427e", "00000001", "00000000"},
      {pattern(1), "93b885adfe0da089cdf634904fd59f71", "00010001", "527d5351"},
      {pattern(65536), "13eb509da536329b810c39ddc4907e5b", "27e78772", "e87a7ac3"},
      {pattern(65537), "15ec048c7e222332a769bb2c179abd38", "af9987b2", "c333e1a7"},
      {pattern(11 << 20), "3826e8a7386de52eebdbc72e899d90fa", "d2ed2324", "dfc8fbd5"},
      {"123456789", "25f9e794323b453885f5181f1b624d0b", "091e01de", "e3069283"},
  };
  for (const auto &[data, md5, adler32, crc32c] : cases) {
    md5_state *state = nullptr;
    ASSERT_EQ(vorlan_i_s3_checksum_init(&state), VORLAN_SUCCESS);
    // The first byte alone: each digest goes on from a state that has taken bytes.
    const size_t first = std::min<size_t>(1, data.size());
    vorlan_i_s3_checksum_update(state, data.data(), first);
    vorlan_i_s3_checksum_update(state, data.data() + first, data.size() - first);
    ASSERT_EQ(vorlan_i_s3_checksum_finalize(state), VORLAN_SUCCESS);
    EXPECT_EQ(std::string(state->md5sum) + " " + state->adler32sum + " " + state->crc32csum,
              md5 + " " + adler32 + " " + crc32c);
    vorlan_i_s3_checksum_free(&state);
  }
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

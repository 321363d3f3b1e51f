// Stat and listings against s3rver: the six kinds, the directory model, names that need
// escaping, the "mtime" metadata, batches of 32 and listings over several pages.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "stat_capture.h"

namespace vorlan::test {
namespace {

class StatS3rver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr), S3StatusOK);
    server_ = new S3rverFixture();
    ASSERT_TRUE(server_->ok()) << server_->error();
    // s3rver shows a prefix only where a key lies directly below it: hence nest/top.
    for (const char *key :
         {"ph/", "objs/a", "objs/b", "both/", "both/a", "both/sub/x", "nest/top", "nest/l1/l2/l3/f", "x", "x/y",
          "odd/sp ace", "odd/u\xc3\xbcml", "odd/a&b", "odd/lt<", "odd/pc%", "odd/pl+", "f"}) {
      put("names", key);
    }
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
  // Creates the bucket on first use.
  static void put(const std::string &bucket, const std::string &key,
                  const std::vector<S3NameValue> &metadata = {}) {
    static std::vector<std::string> made;
    if (std::find(made.begin(), made.end(), bucket) == made.end()) {
      ASSERT_EQ(s3_create_bucket(target(bucket)).status, S3StatusOK);
      made.push_back(bucket);
    }
    S3PutProperties properties{};
    properties.expires = -1;
    properties.metaDataCount = static_cast<int>(metadata.size());
    properties.metaData = metadata.data();
    S3PutOptions options;
    options.properties = &properties;
    ASSERT_EQ(s3_put(target(bucket), key.c_str(), "abc", options).status, S3StatusOK) << key;
  }
  // A session signing as s3rver's account, with no allow list.
  static HandlePtr session() {
    HandlePtr handle = make_handle(server_->host());
    handle->key_id = strdup(S3rverFixture::kAccessKeyId);
    handle->secret_key = strdup(S3rverFixture::kSecretAccessKey);
    handle->default_key_pair = {handle->key_id, handle->secret_key};
    return handle;
  }

  static S3rverFixture *server_;
};

S3rverFixture *StatS3rver::server_ = nullptr;

TEST_F(StatS3rver, PathsListAndStatAsTheDirectoryModelSays) {
  struct Case {
    const char *path;
    bool file_only;
    const char *names;     // null: the request fails with 550 PATH_NOT_FOUND naming the path
    const char *ino_text;  // what the first entry's ino is the hash of
  };
  const std::vector<Case> cases = {
      {"/names/ph", false, ".", "/names/ph/"},
      {"/names/ph/", false, ".", "/names/ph/"},
      {"/names/objs", false, ". a b", "objs/"},
      {"/names/both", false, ". a sub/", "/names/both/"},
      {"/names/nest/l1/l2", false, ". l3/", "nest/l1/l2/"},
      {"/names/x", false, ". y", "x/"},
      {"/names/odd", false, ". a&b lt< pc% pl+ sp ace u\xc3\xbcml", "odd/"},
      {"/names", false, ". f x both/ nest/ objs/ odd/ ph/ x/", "/"},
      {"/names/", false, ". f x both/ nest/ objs/ odd/ ph/ x/", "/"},
      {"/names/f", false, "f", "/names/f"},
      {"/names/odd/pl+", false, "pl+", "/names/odd/pl+"},
      {"/names/missing", false, nullptr, nullptr},
      {"/absent-bucket", false, nullptr, nullptr},
      {"/", true, ".", "/"},
      {"/names", true, ".", "names"},
      {"/names/", true, ".", "names"},
      {"/absent-bucket", true, nullptr, nullptr},
      {"/names/x", true, "x", "/names/x"},
      {"/names/odd/u\xc3\xbcml", true, "odd/u\xc3\xbcml", "/names/odd/u\xc3\xbcml"},
      {"/names/odd/sp ace", true, "odd/sp ace", "/names/odd/sp ace"},
      {"/names/ph", true, ".", "/names/ph"},
      {"/names/ph/", true, ".", "/names/ph"},
      {"/names/objs", true, ".", "objs/"},
      {"/names/missing", true, nullptr, nullptr},
      {"/names/missing/", true, nullptr, nullptr},
  };
  HandlePtr handle = session();
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.file_only ? " (stat)" : " (ls)"));
    StatRun run;
    run_stat(handle.get(), c.path, c.file_only, &run);
    if (c.names == nullptr) {
      std::string named = c.path;
      if (named.size() > 1 && named.back() == '/') named.pop_back();
      EXPECT_EQ(run.code, 550);
      EXPECT_EQ(run.word, "PATH_NOT_FOUND");
      EXPECT_EQ(run.headers, "GridFTP-Path: \"" + named + "\"");
      EXPECT_TRUE(run.entries.empty());
      continue;
    }
    ASSERT_EQ(run.result, VORLAN_SUCCESS) << run.text;
    EXPECT_EQ(run.names(), c.names);
    const std::string bucket = std::string(c.path).substr(1, std::string(c.path).find('/', 1) - 1);
    const StatEntry &first = run.entries.front();
    EXPECT_EQ(first.ino, vorlan_i_s3_stat_hash(c.ino_text));
    EXPECT_EQ(first.dev, vorlan_i_s3_stat_hash(bucket.empty() ? "/" : bucket.c_str()));
    for (const StatEntry &entry : run.entries) {
      EXPECT_EQ(entry.size, entry.mode == vorlan_i_s3_stat_file_mode ? 3 : 0) << entry.name;
      EXPECT_EQ(entry.mtime > 0, entry.mode == vorlan_i_s3_stat_file_mode) << entry.name;
    }
  }
}

TEST_F(StatS3rver, ModificationTimeComesFromValidMtimeMetadata) {
  struct Case {
    const char *key;
    const char *mtime;  // null: no metadata
    int64_t expected;   // 0 with no metadata: the service's last-modified time
  };
  const std::vector<Case> cases = {
      {"set", "1700000000", 1700000000},
      {"zero", "0", 0},
      {"minus", "-5", -1},
      {"suffix", "12abc", -1},
      {"double-zero", "00", -1},
      {"huge", "99999999999999999999", -1},
      {"none", nullptr, 0},
  };
  HandlePtr handle = session();
  const auto before = static_cast<int64_t>(time(nullptr)) - 60;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key);
    std::vector<S3NameValue> metadata;
    if (c.mtime != nullptr) metadata.push_back({"mtime", c.mtime});
    put("times", c.key, metadata);
    StatRun run;
    run_stat(handle.get(), std::string("/times/") + c.key, true, &run);
    ASSERT_EQ(run.entries.size(), 1u) << run.text;
    if (c.mtime != nullptr) {
      EXPECT_EQ(run.entries[0].mtime, c.expected);
    } else {
      EXPECT_GE(run.entries[0].mtime, before);
    }
  }
}

TEST_F(StatS3rver, RootListsBucketsByTheSessionsKind) {
  put("zz-second", "k");
  HandlePtr account = session();
  StatRun listed;
  run_stat(account.get(), "/", false, &listed);
  ASSERT_EQ(listed.result, VORLAN_SUCCESS) << listed.text;
  ASSERT_GE(listed.entries.size(), 3u);
  EXPECT_EQ(listed.entries[0].name, ".");
  EXPECT_EQ(listed.entries[0].dev, 0);  // the service listing's "."
  EXPECT_NE(listed.names().find(" names/"), std::string::npos);
  auto second = std::find_if(listed.entries.begin(), listed.entries.end(),
                             [](const StatEntry &entry) { return entry.name == "zz-second"; });
  ASSERT_NE(second, listed.entries.end());
  EXPECT_GT(second->ctime, 0);

  // An allow list is listed as it stands, without asking the service.
  HandlePtr allowed = session();
  allow_buckets(allowed.get(), R"({"buckets": ["b1", "names"]})");
  StatRun from_list;
  run_stat(allowed.get(), "/", false, &from_list);
  EXPECT_EQ(from_list.names(), ". b1/ names/");
  EXPECT_EQ(from_list.entries[0].dev, from_list.entries[0].ino);
  StatRun refused;
  run_stat(allowed.get(), "/zz-second", true, &refused);
  EXPECT_EQ(refused.code, 550);
  EXPECT_EQ(refused.word, "PERMISSION_DENIED");

  // Neither credentials nor a list: only the root itself.
  HandlePtr anonymous = make_handle(server_->host());
  StatRun root;
  run_stat(anonymous.get(), "/", false, &root);
  EXPECT_EQ(root.names(), ".");
}

TEST_F(StatS3rver, RecordsReachTheHostInBatchesOf32) {
  // The directory's "." and its files: 31, 32, 33 and 70 records.
  put("batches", "d/");
  HandlePtr handle = session();
  int files = 0;
  struct Case {
    int records;
    std::vector<int> reports;
  };
  for (const Case &c :
       std::vector<Case>{{31, {31}}, {32, {32, 0}}, {33, {32, 1}}, {70, {32, 32, 6}}}) {
    SCOPED_TRACE(c.records);
    while (files < c.records - 1) put("batches", "d/f" + std::to_string(100 + files++));
    StatRun run;
    run_stat(handle.get(), "/batches/d", false, &run);
    EXPECT_EQ(run.reports, c.reports);
    EXPECT_EQ(run.entries.size(), static_cast<size_t>(c.records));
  }
  StatRun missing;
  run_stat(handle.get(), "/batches/none", false, &missing);
  EXPECT_EQ(missing.reports, std::vector<int>{0});
}

TEST_F(StatS3rver, ListingOfSeveralPagesNamesEveryObjectOnceInOrder) {
  constexpr int kObjects = 2500;
  std::vector<std::string> expected = {"."};
  for (int i = 0; i < kObjects; ++i) {
    expected.push_back("k" + std::to_string(10000 + i));
    put("pages", "many/" + expected.back());
  }
  CapturedLog log(VORLAN_S3_DEBUG_INFO);
  HandlePtr handle = session();
  StatRun run;
  run_stat(handle.get(), "/pages/many", false, &run);
  ASSERT_EQ(run.result, VORLAN_SUCCESS) << run.text;
  std::vector<std::string> names;
  for (const StatEntry &entry : run.entries) names.push_back(entry.name);
  EXPECT_EQ(names, expected);
  const std::string lines = log.take();
  size_t pages = 0;
  for (size_t at = 0; (at = lines.find("S3_list_bucket(bucket=pages", at)) != std::string::npos;
       ++at) {
    ++pages;
  }
  EXPECT_EQ(pages, 3u) << "s3rver answers at most 1000 keys a page";
}

}  // namespace
}  // namespace vorlan::test

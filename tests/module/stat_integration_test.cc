// Stat and listings against s3rver: the directory model, names that need escaping, the
// "mtime" metadata and a listing over several pages.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "stat_capture.h"

namespace vorlan::test {
namespace {

// "mtime" metadata texts a stat reads as these times; any other text is no time (-1).
const std::pair<const char *, int64_t> kMtimes[] = {
    {"1700000000", 1700000000}, {"0", 0}, {"1700000000.25", 1700000000}, {"0.5", 0}};
const char *const kBadMtimes[] = {"-5",  "12abc", "00",   "99999999999999999999", "1700000000.",
                                  ".5",  "1e9",   "-1.5", "1700000000.2x",        "1.2.3",
                                  "00.5"};

class StatS3rver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr), S3StatusOK);
    server_ = new S3rverFixture();
    ASSERT_TRUE(server_->ok()) << server_->error();
    for (const char *bucket : {"names", "grow"})
      ASSERT_EQ(s3_create_bucket(target(bucket)).status, S3StatusOK);
    // s3rver shows a prefix only where a key lies directly below it: hence nest/top.
    // The interop suite lists and stats the other awkward names.
    for (const char *key : {"ph/", "objs/a", "objs/b", "both/", "both/a", "both/sub/x", "nest/top",
                            "nest/l1/l2/l3/f", "x", "x/y", "odd/lt<", "f", "m/none"}) {
      put("names", key);
    }
    for (const auto &entry : kMtimes) put("names", std::string("m/") + entry.first, entry.first);
    for (const char *text : kBadMtimes) put("names", std::string("m/") + text, text);
  }
  static void TearDownTestSuite() {
    delete server_;
    S3_deinitialize();
  }
  void SetUp() override { ASSERT_TRUE(server_->ok()) << server_->error(); }

  static S3Target target(const char *bucket) {
    S3Target target;
    target.host = server_->host();
    target.bucket = bucket;
    target.access_key_id = target.secret_access_key = S3rverFixture::kAccessKeyId;
    return target;
  }
  static void put(const char *bucket, const std::string &key, const char *mtime = nullptr) {
    const S3NameValue metadata = {"mtime", mtime};
    S3PutProperties properties{};
    properties.expires = -1;
    properties.metaDataCount = mtime != nullptr ? 1 : 0;
    properties.metaData = &metadata;
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
    const char *ino_text;  // what the first entry's ino is the hash of; null: not checked
  };
  const char *top = ". f x both/ m/ nest/ objs/ odd/ ph/ x/";
  const std::vector<Case> cases = {
      {"/names/ph", false, ".", "/names/ph/"},
      {"/names/ph/", false, ".", "/names/ph/"},
      {"/names/objs", false, ". a b", "objs/"},
      {"/names/both", false, ". a sub/", "/names/both/"},
      {"/names/nest/l1/l2", false, ". l3/", "nest/l1/l2/"},
      {"/names/x", false, ". y", "x/"},
      {"/names/odd", false, ". lt<", "odd/"},
      {"/names", false, top, "/"},
      {"/names/", false, top, "/"},
      {"/names/f", false, "f", "/names/f"},
      {"/names/missing", false, nullptr, nullptr},
      {"/absent-bucket", false, nullptr, nullptr},
      {"/", true, ".", "/"},
      {"/names", true, ".", "names"},
      {"/names/", true, ".", "names"},
      {"/absent-bucket", true, nullptr, nullptr},
      {"/names/x", true, "x", "/names/x"},
      {"/names/odd/lt<", true, "odd/lt<", "/names/odd/lt<"},
      {"/names/ph", true, ".", "/names/ph"},
      {"/names/ph/", true, ".", "/names/ph"},
      {"/names/objs", true, ".", "objs/"},
      {"/names/missing", true, nullptr, nullptr},
      {"/names/missing/", true, nullptr, nullptr},
      {"/names/m/none", true, "m/none", nullptr},
  };
  HandlePtr handle = session();
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.file_only ? " (stat)" : " (ls)"));
    StatRun run;
    run_stat(handle.get(), c.path, c.file_only, &run);
    if (c.names == nullptr) {
      std::string named = c.path;
      if (named.back() == '/') named.pop_back();
      EXPECT_EQ(run.code, 550);
      EXPECT_EQ(run.word, "PATH_NOT_FOUND");
      EXPECT_EQ(run.headers, "GridFTP-Path: \"" + named + "\"");
      EXPECT_EQ(run.reports, "0");
      continue;
    }
    ASSERT_EQ(run.result, VORLAN_SUCCESS) << run.text;
    EXPECT_EQ(run.names(), c.names);
    const std::string bucket = std::string(c.path).substr(1, std::string(c.path).find('/', 1) - 1);
    EXPECT_EQ(run.entries[0].dev, vorlan_i_s3_stat_hash(bucket.empty() ? "/" : bucket.c_str()));
    if (c.ino_text != nullptr) {
      EXPECT_EQ(run.entries[0].ino, vorlan_i_s3_stat_hash(c.ino_text));
    }
    for (const StatEntry &entry : run.entries) {
      const bool file = entry.mode == vorlan_i_s3_stat_file_mode;
      EXPECT_EQ(entry.size, file ? 3 : 0) << entry.name;
      EXPECT_EQ(entry.mtime > 1700000000, file) << entry.name;  // the service's time
    }
  }
  std::vector<std::pair<std::string, int64_t>> mtimes(std::begin(kMtimes), std::end(kMtimes));
  for (const char *text : kBadMtimes) mtimes.emplace_back(text, -1);
  for (const auto &[text, mtime] : mtimes) {
    StatRun run;
    run_stat(handle.get(), ("/names/m/" + text).c_str(), true, &run);
    ASSERT_EQ(run.result, VORLAN_SUCCESS) << text;
    EXPECT_EQ(run.entries.at(0).mtime, mtime) << text;
  }
}

TEST_F(StatS3rver, ListingOfSeveralPagesNamesEveryObjectOnceInOrder) {
  // s3rver answers at most 1000 keys a page.
  std::string expected = ".";
  for (int i = 10000; i < 12500; ++i) {
    expected += " k" + std::to_string(i);
    put("grow", "many/k" + std::to_string(i));
  }
  HandlePtr handle = session();
  StatRun run;
  run_stat(handle.get(), "/grow/many", false, &run);
  EXPECT_EQ(run.names(), expected);
}

}  // namespace
}  // namespace vorlan::test

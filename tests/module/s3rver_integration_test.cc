// The module against s3rver, for what only a real server's answers show: the directory model
// with each entry's device and inode, "mtime" metadata texts, listings over the server's own
// pages, transfers at block boundaries with ranges pinned to the ETag, a rename by server-side
// copy of a key that needs encoding, and buckets made and removed. The interop suite checks
// the awkward names, the stored headers and the directory markers other clients write.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include "fake_s3_server.h"
#include "module_session.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "stat_capture.h"

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorlan::test {
namespace {

// "mtime" metadata texts a stat reads as these times; any other text is no time (-1).
const std::pair<const char *, int64_t> kMtimes[] = {
    {"1700000000", 1700000000}, {"0", 0}, {"1700000000.25", 1700000000}, {"0.5", 0}};
const char *const kBadMtimes[] = {"-5",  "12abc", "00",   "99999999999999999999", "1700000000.",
                                  ".5",  "1e9",   "-1.5", "1700000000.2x",        "1.2.3",
                                  "00.5"};

class S3rver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr), S3StatusOK);
    server_ = new S3rverFixture();
    ASSERT_TRUE(server_->ok()) << server_->error();
    for (const char *bucket : {"names", "grow", "trips", "from", "dest"})
      ASSERT_EQ(s3_create_bucket(target(bucket)).status, S3StatusOK);
    // s3rver shows a prefix only where a key lies directly below it: hence nest/top.
    for (const char *key : {"ph/", "objs/a", "objs/b", "both/", "both/a", "both/sub/x", "nest/top",
                            "nest/l1/l2/l3/f", "x", "x/y", "f", "m/none"}) {
      put("names", key);
    }
    for (const auto &entry : kMtimes) put("names", std::string("m/") + entry.first, entry.first);
    for (const char *text : kBadMtimes) put("names", std::string("m/") + text, text);
    // s3rver answers at most 1000 keys a page.
    for (int i = 10000; i < 12500; ++i) put("grow", "many/k" + std::to_string(i));
  }
  static void TearDownTestSuite() {
    delete server_;
    S3_deinitialize();
  }
  void SetUp() override { ASSERT_TRUE(server_->ok()) << server_->error(); }

  static S3Target target(const char *bucket) {
    return {.host = server_->host(),
            .bucket = bucket,
            .access_key_id = S3rverFixture::kAccessKeyId,
            .secret_access_key = S3rverFixture::kAccessKeyId};
  }
  static void put(const char *bucket, const std::string &key, const char *mtime = nullptr,
                  const char *type = nullptr) {
    const S3NameValue metadata = {"mtime", mtime};
    S3PutProperties properties{.contentType = type,
                               .expires = -1,
                               .metaDataCount = mtime != nullptr ? 1 : 0,
                               .metaData = &metadata};
    ASSERT_EQ(s3_put(target(bucket), key.c_str(), "abc", {.properties = &properties}).status,
              S3StatusOK)
        << key;
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

S3rverFixture *S3rver::server_ = nullptr;

TEST_F(S3rver, PathsListAndStatAsTheDirectoryModelSays) {
  struct Case {
    const char *path;
    bool file_only;
    const char *names;     // null: the request fails with 550 PATH_NOT_FOUND naming the path
    const char *ino_text;  // what the first entry's ino is the hash of; null: not checked
  };
  const char *top = ". f x both/ m/ nest/ objs/ ph/ x/";
  std::string pages = ".";  // a listing over several of the server's pages
  for (int i = 10000; i < 12500; ++i) pages += " k" + std::to_string(i);
  const std::vector<Case> cases = {
      {"/names/both", false, ". a sub/", "/names/both/"},
      {"/names/nest/l1/l2", false, ". l3/", "nest/l1/l2/"},
      {"/names/x", false, ". y", "x/"},
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
      {"/names/ph", true, ".", "/names/ph"},
      {"/names/ph/", true, ".", "/names/ph"},
      {"/names/objs", true, ".", "objs/"},
      {"/names/missing", true, nullptr, nullptr},
      {"/names/missing/", true, nullptr, nullptr},
      {"/names/m/none", true, "m/none", nullptr},
      {"/grow/many", false, pages.c_str(), nullptr},
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

TEST_F(S3rver, TransfersAreByteIdentical) {
  ModuleSession module(server_->host());
  const auto block = static_cast<int64_t>(host::DataChannelOptions{}.block_size);
  for (int64_t size : {int64_t{0}, int64_t{1}, block - 1, block, block + 1, 5 * block + 7}) {
    SCOPED_TRACE(size);
    std::string data(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
    const host::TransferInfo info{.pathname = "/trips/dir/f" + std::to_string(size) + ".txt",
                                  .alloc_size = size,
                                  .expected_checksum = fake_s3_md5_hex(data),
                                  .expected_checksum_alg = "md5"};
    host::MemorySource source(data);
    host::TransferResult put = module.host().recv(module.session(), info, {}, source);
    ASSERT_TRUE(put.reply.ok()) << put.reply.text;

    // The whole object; two ranges in one transfer, the second GET pinned to the first one's
    // ETag, which s3rver must honour; a restart at the end, which s3rver refuses with the
    // object's size in its InvalidRange details.
    std::vector<std::vector<std::pair<int64_t, int64_t>>> transfers = {{{0, -1}}};
    if (size > 1) transfers.push_back({{size / 2, -1}, {0, size / 3 + 1}});
    if (size > 0) transfers.push_back({{size, -1}});
    for (const auto &ranges : transfers) {
      host::MemorySink sink;
      host::TransferResult get =
          module.host().send(module.session(), info, {.read_ranges = ranges}, sink);
      ASSERT_TRUE(get.reply.ok()) << get.reply.text;
      std::string expected(data.size(), '\0');
      int64_t bytes = 0;
      for (const auto &[offset, length] : ranges) {
        const std::string part = data.substr(offset, length < 0 ? std::string::npos : length);
        expected.replace(static_cast<size_t>(offset), part.size(), part);
        bytes += static_cast<int64_t>(part.size());
      }
      EXPECT_EQ(sink.contents(), expected.substr(0, sink.contents().size()));
      EXPECT_EQ(get.bytes_written, bytes);
    }
  }
  EXPECT_TRUE(module.host().violations().empty());
}

// Past the threshold an upload goes in parts, with the object's type and metadata; a client
// that aborts leaves the object as it was.
TEST_F(S3rver, MultipartUploadsStoreTheObjectOrNothing) {
  TempDir dir;
  ModuleSession module(server_->host(),
                       "part_size = 5242880\nmultipart_threshold = 5242880\n"
                       "mime_types_path = " +
                           dir.write("mime.types", "text/plain txt\n") + "\n",
                       "INFO");
  std::string data((11 << 20) + 3, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
  host::TransferInfo info{.pathname = "/trips/mp.txt",
                          .alloc_size = static_cast<int64_t>(data.size()),
                          .expected_checksum = fake_s3_md5_hex(data),
                          .expected_checksum_alg = "md5"};
  host::MemorySource source(data);
  const host::DataChannelOptions channel{.modification_time = 1700000000};
  ASSERT_TRUE(module.host().recv(module.session(), info, channel, source).reply.ok());
  const S3CallResult stored = s3_get(target("trips"), "mp.txt");
  EXPECT_TRUE(stored.data == data);
  // s3rver's ETag for such an object is its MD5, not "<hex>-<parts>" (the fake's table checks
  // that); the module's log tells the parts.
  EXPECT_NE(TempDir::read(module.log_path()).find("multipart parts=3 "), std::string::npos);
  EXPECT_EQ(stored.content_type, "text/plain");
  EXPECT_EQ(stored.metadata, (std::map<std::string, std::string>{{"md5", fake_s3_md5_base64(data)},
                                                                 {"mtime", "1700000000"}}));
  host::MemorySource aborting(std::string(data.size(), 'x'));
  EXPECT_FALSE(module.host()
                   .recv(module.session(), info, {.abort_at_offset = 7 << 20}, aborting)
                   .reply.ok());
  // s3rver lists no multipart uploads (NotImplemented): the fake's table checks that none is
  // left.
  EXPECT_TRUE(s3_get(target("trips"), "mp.txt").data == data);
  // An expected CRC32C (Python's crc32c of the data) is checked before Complete and stored.
  for (const auto &[key, crc32c] : {std::pair{"bad.txt", "153352e6"}, {"mp.txt", "153352E7"}}) {
    info.pathname = std::string("/trips/") + key;
    info.expected_checksum = crc32c;
    info.expected_checksum_alg = "crc32c";
    host::MemorySource again(data);
    EXPECT_EQ(module.host().recv(module.session(), info, channel, again).reply.ok(), key[0] == 'm');
  }
  EXPECT_NE(s3_get(target("trips"), "bad.txt").status, S3StatusOK);
  EXPECT_EQ(s3_get(target("trips"), "mp.txt").metadata["crc32c"], "153352e7");
}

// s3rver reads x-amz-copy-source with decodeURI, which leaves "+?#" encoded: keys with those
// characters are renamed against the fake only. A bucket that holds a key stays.
TEST_F(S3rver, RenameCopiesTheObjectAndBucketsComeAndGo) {
  ModuleSession module(server_->host());
  auto command = [&](int code, const std::string &path, const std::string &source = "") {
    return module.host().command(module.session(), code, path, source).reply;
  };
  const std::string key = "dir one/a b%41 \xc3\xa9";
  put("from", key, "1700000000", "text/plain");
  EXPECT_TRUE(command(VORLAN_GFS_CMD_RNTO, "/dest/" + key, "/from/" + key).ok());
  S3CallResult moved = s3_head(target("dest"), key.c_str());
  EXPECT_EQ(moved.content_type + " " + moved.metadata["mtime"], "text/plain 1700000000");
  EXPECT_EQ(s3_head(target("from"), key.c_str()).status, S3StatusHttpErrorNotFound);

  const S3Target made = target("made");
  EXPECT_TRUE(command(VORLAN_GFS_CMD_MKD, "/made").ok());
  s3_put(made, "k", "x");
  EXPECT_FALSE(command(VORLAN_GFS_CMD_RMD, "/made").ok());
  s3_delete(made, "k");
  EXPECT_TRUE(command(VORLAN_GFS_CMD_RMD, "/made").ok());
  EXPECT_EQ(s3_head(made, nullptr).status, S3StatusHttpErrorNotFound);
}

}  // namespace
}  // namespace vorlan::test

// Make directory, remove directory, delete, rename and checksum through the loaded module
// against s3rver, for plain keys and keys with characters that need encoding: what is stored,
// moved and removed, and every checksum against the MD5 of the bytes.
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"

namespace vorlan::test {
namespace {

TEST(CommandsS3rver, RoundTripsOfEveryCommand) {
  ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL, nullptr), S3StatusOK);
  S3rverFixture server;
  ASSERT_TRUE(server.ok()) << server.error();
  S3Target from, to, made;
  from.host = to.host = made.host = server.host();
  from.bucket = "from";
  to.bucket = "dest";
  made.bucket = "made";
  ASSERT_EQ(s3_create_bucket(from).status, S3StatusOK);
  ASSERT_EQ(s3_create_bucket(to).status, S3StatusOK);
  ModuleSession module(server.host());
  auto command = [&](int code, const std::string &path, const std::string &source = "",
                     int64_t offset = 0, int64_t length = -1) {
    host::CommandResult result =
        module.host().command(module.session(), code, path, source, "md5", offset, length);
    EXPECT_TRUE(result.reply.ok()) << path << ": " << result.reply.text;
    return result.response.value_or("");
  };

  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 11 + (i >> 8));
  // s3rver reads x-amz-copy-source with decodeURI, which leaves "+?#" encoded, so the keys
  // with those characters are checked against the fake only.
  for (const std::string key : {"plain", "dir one/a b%41 \xc3\xa9"}) {
    SCOPED_TRACE(key);
    command(VORLAN_GFS_CMD_MKD, "/from/" + key + "/sub/");
    EXPECT_EQ(s3_head(from, (key + "/sub/").c_str()).content_type,
              "application/x-vorlan-dir-placeholder");

    host::TransferInfo info;
    info.pathname = "/from/" + key + "/sub/f";
    info.alloc_size = static_cast<int64_t>(data.size());
    info.expected_checksum = fake_s3_md5_hex(data);
    info.expected_checksum_alg = "md5";
    host::DataChannelOptions channel;
    channel.modification_time = 1700000000;
    host::MemorySource source(data);
    const host::TransferResult put = module.host().recv(module.session(), info, channel, source);
    ASSERT_TRUE(put.reply.ok()) << put.reply.text;
    EXPECT_EQ(command(VORLAN_GFS_CMD_CKSM, info.pathname), fake_s3_md5_hex(data));
    EXPECT_EQ(command(VORLAN_GFS_CMD_CKSM, info.pathname, "", 1000, 5000),
              fake_s3_md5_hex(data.substr(1000, 5000)));

    // Across buckets, then within one; the object keeps its type and metadata.
    const std::string moved = key + "/moved";
    command(VORLAN_GFS_CMD_RNTO, "/dest/" + moved, info.pathname);
    command(VORLAN_GFS_CMD_RNTO, "/dest/" + moved + "2", "/dest/" + moved);
    S3CallResult head = s3_head(to, (moved + "2").c_str());
    EXPECT_EQ(head.etag, "\"" + fake_s3_md5_hex(data) + "\"");
    EXPECT_EQ(head.metadata["mtime"], "1700000000");
    EXPECT_EQ(head.metadata["md5"], fake_s3_md5_base64(data));
    EXPECT_EQ(s3_head(from, (key + "/sub/f").c_str()).status, S3StatusHttpErrorNotFound);
    EXPECT_EQ(s3_head(to, moved.c_str()).status, S3StatusHttpErrorNotFound);
    EXPECT_EQ(fake_s3_md5_hex(s3_get(to, (moved + "2").c_str()).data), fake_s3_md5_hex(data));

    command(VORLAN_GFS_CMD_DELE, "/dest/" + moved + "2");
    command(VORLAN_GFS_CMD_RMD, "/from/" + key + "/sub");
    // A directory whose placeholder is gone is removed again without complaint.
    command(VORLAN_GFS_CMD_RMD, "/from/" + key + "/sub");
  }
  EXPECT_TRUE(s3_list(from, "", nullptr, nullptr, 0).keys.empty());
  EXPECT_TRUE(s3_list(to, "", nullptr, nullptr, 0).keys.empty());

  command(VORLAN_GFS_CMD_MKD, "/made");
  EXPECT_EQ(s3_head(made, nullptr).status, S3StatusOK);
  s3_put(made, "k", "x");
  host::CommandResult refused =
      module.host().command(module.session(), VORLAN_GFS_CMD_RMD, "/made");
  EXPECT_FALSE(refused.reply.ok());
  s3_delete(made, "k");
  command(VORLAN_GFS_CMD_RMD, "/made");
  const std::vector<std::string> buckets = s3_list_service(made).buckets;
  EXPECT_EQ(std::count(buckets.begin(), buckets.end(), "made"), 0);
  S3_deinitialize();
}

}  // namespace
}  // namespace vorlan::test

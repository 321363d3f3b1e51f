// Uploads and downloads through the loaded module against s3rver: what is stored (bytes, ETag,
// content type, metadata) and what comes back, whole and in ranges.
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <map>
#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"

namespace vorlan::test {
namespace {

TEST(SendRecvS3rver, RoundTripsAreByteIdenticalWithTheirMetadata) {
  ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL, nullptr), S3StatusOK);
  S3rverFixture server;
  ASSERT_TRUE(server.ok()) << server.error();
  S3Target bucket;
  bucket.host = server.host();
  bucket.bucket = "trips";
  ASSERT_EQ(s3_create_bucket(bucket).status, S3StatusOK);
  TempDir dir;
  ModuleSession module(server.host(),
                       "mime_types_path = " + dir.write("mime.types", "text/plain txt\n") + "\n");

  const int64_t block = host::DataChannelOptions{}.block_size;
  for (int64_t size : {int64_t{0}, int64_t{1}, block - 1, block, block + 1, 5 * block + 7}) {
    SCOPED_TRACE(size);
    std::string data(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
    const std::string key = "dir/f" + std::to_string(size) + ".txt";
    host::TransferInfo info;
    info.pathname = "/trips/" + key;
    info.alloc_size = size;
    info.expected_checksum = fake_s3_md5_hex(data);
    info.expected_checksum_alg = "md5";
    host::DataChannelOptions channel;
    channel.modification_time = 1234567890;
    host::MemorySource source(data);
    host::TransferResult put = module.host().recv(module.session(), info, channel, source);
    ASSERT_TRUE(put.reply.ok()) << put.reply.text;

    S3CallResult head = s3_head(bucket, key.c_str());
    ASSERT_EQ(head.status, S3StatusOK);
    EXPECT_EQ(head.etag, "\"" + fake_s3_md5_hex(data) + "\"");
    EXPECT_EQ(head.content_type, "text/plain");
    EXPECT_EQ(head.metadata, (std::map<std::string, std::string>{{"md5", fake_s3_md5_base64(data)},
                                                                 {"mtime", "1234567890"}}));

    // The whole object, then two ranges in one transfer; the second GET is pinned to the
    // first one's ETag, which s3rver must honour.
    std::vector<std::vector<std::pair<int64_t, int64_t>>> transfers = {{{0, -1}}};
    if (size > 1) transfers.push_back({{size / 2, -1}, {0, size / 3 + 1}});
    for (const auto &ranges : transfers) {
      host::DataChannelOptions ranged;
      ranged.read_ranges = ranges;
      host::MemorySink sink;
      host::TransferResult get = module.host().send(module.session(), info, ranged, sink);
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
  S3_deinitialize();
}

}  // namespace
}  // namespace vorlan::test

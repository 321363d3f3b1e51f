// Uploads past the multipart threshold, through the module linked into the test (so that small
// parts and a small part limit can be set), against the fake server's faults: what is stored,
// which requests went out, and that no upload is left in progress.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "module_test_hooks.h"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

extern "C" vorlan_module_descriptor_t vorlan_gridftp_server_google_cloud_module;

namespace {

using vorlan::host::DataChannelOptions;
using vorlan::test::fake_s3_md5_hex;
using vorlan::test::FakeS3Fault;
constexpr int64_t kPart = 64 * 1024;

std::string pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + (i >> 13));
  return data;
}

// The requests sent for `key` but parts, in order (PUT, create, complete, abort), and the bytes
// of each part sent, by its number.
std::string kinds(const std::vector<vorlan::test::RecordedRequest> &requests,
                  const std::string &key, std::map<int, std::string> *part_sizes) {
  std::string out;
  for (const auto &r : requests) {
    const bool upload = r.query.find("uploadId=") != std::string::npos;
    const size_t number = r.query.find("partNumber=");
    if (r.key == key && number != std::string::npos) {
      (*part_sizes)[std::stoi(r.query.substr(number + 11))] = r.header("content-length");
      EXPECT_TRUE(r.header("x-goog-hash").starts_with("crc32c=") ||
                  r.has_header("x-amz-checksum-crc32c"))
          << r.target;
    } else if (r.key == key) {
      // The storage class goes with the object's creation, whichever way it is made.
      if (r.method == "PUT" || (r.method == "POST" && !upload)) {
        EXPECT_EQ(r.header("x-amz-storage-class"), "NEARLINE") << r.target;
      }
      out += std::string(out.empty() ? "" : ",") + (r.method == "DELETE" ? "abort"
                                                    : r.method == "PUT"  ? "PUT"
                                                    : upload             ? "complete"
                                                                         : "create");
    }
  }
  return out;
}

TEST(RecvMultipart, PartsAreSentOnceAndAbortedOnAnyFailure) {
  vorlan::test::FakeS3Server server({.max_part_number = 8});
  server.create_bucket("b");
  vorlan::test::ModuleSession module(server.host(), "max_retries = 1\nretry_delay = 1\n", "INFO",
                                     std::chrono::minutes(2), {},
                                     &vorlan_gridftp_server_google_cloud_module);
  const auto saved = std::make_tuple(vorlan_i_s3_part_size, vorlan_i_s3_multipart_threshold,
                                     vorlan_i_s3_transfer_streams, vorlan_i_s3_multipart_max_parts);
  vorlan_i_s3_part_size = kPart;
  vorlan_i_s3_multipart_threshold = 2 * kPart;
  vorlan_i_s3_transfer_streams = 4;
  vorlan_i_s3_multipart_max_parts = 8;
  char storage_class[] = "NEARLINE";
  vorlan_i_s3_storage_class = storage_class;
  struct Case {
    const char *label;
    int64_t size;
    int64_t announced;            // -1: the size
    std::string error;            // in the reply; "" for success
    std::string requests;         // kinds()
    std::string part_sizes = "";  // each part's bytes, when checked
    std::optional<FakeS3Fault> fault = std::nullopt;
    DataChannelOptions channel = {};
    std::optional<std::string> expected = std::nullopt;
    const char *alg = "md5";
    std::string metadata = "";  // name=value;... as stored
  };
  // ADLER32 and CRC32C of pattern(size) by Python's zlib.adler32 and crc32c.crc32c.
  const std::map<int64_t, std::string> reference = {{0, "00000001 00000000"},
                                                    {2 * kPart, "3eb90ef2 298b101e"},
                                                    {2 * kPart + 1, "4dbb0f02 fe2c6766"},
                                                    {4 * kPart, "5ade1de3 3d5accf2"},
                                                    {15 * kPart + 5, "ab18f27f 49f0ecf5"}};
  const std::string data1 = pattern(2 * kPart + 1), aborted = "create,abort", bad_md5(32, 'a');
  const DataChannelOptions plain, dated{.modification_time = 1700000000},
      cut{.block_size = 16384, .abort_at_offset = 3 * kPart};
  const std::vector<Case> cases = {
      {"size 0: one PUT", 0, 0, "", "PUT"},
      {"the threshold: one PUT", 2 * kPart, -1, "", "PUT"},
      {"one byte more: parts", 2 * kPart + 1, -1, "", "create,complete", "65536,65536,1,",
       std::nullopt, dated, fake_s3_md5_hex(data1), "md5",
       "md5=" + vorlan::test::fake_s3_md5_base64(data1) + ";mtime=1700000000;"},
      {"an expected ADLER32", 4 * kPart, -1, "", "create,complete", "", std::nullopt, plain,
       "5ADE1DE3", "adler32", "adler32=5ade1de3;"},
      {"a wrong expected CRC32C", 2 * kPart + 1, -1,
       "GridFTP-Computed-Checksum: fe2c6766\nGridFTP-Expected-Checksum: fe2c6767", aborted, "",
       std::nullopt, plain, "fe2c6767", "crc32c"},
      {"a part answered 500, then success", 4 * kPart, -1, "", "create,complete", "",
       FakeS3Fault::error(500, "InternalError").on("PUT").with_query("partNumber=2&")},
      {"Complete answered 200 with an error", 4 * kPart, -1, "InternalError",
       "create,complete,complete,abort", "",
       FakeS3Fault::error(200, "InternalError").on("POST").with_query("uploadId=").times(-1)},
      {"the client aborts part-way", 6 * kPart, -1, "Injected abort of the client", aborted, "",
       std::nullopt, cut},
      {"fewer bytes than announced", 4 * kPart, 4 * kPart + 10,
       "Unexpected end of data.  Size announced: 262154, size received: 262144", aborted},
      {"a wrong expected MD5", 3 * kPart, -1,
       "GridFTP-Computed-Checksum: " + vorlan::test::fake_s3_md5_base64(pattern(3 * kPart)) +
           "\nGridFTP-Expected-Checksum: qqqqqqqqqqqqqqqqqqqqqg==",
       aborted, "65536,65536,65536,", std::nullopt, plain, bad_md5},
      {"unknown size: parts grow", 15 * kPart + 5, 0, "", "create,complete",
       "65536,131072,262144,524288,5,"},
      {"unknown size past the part limit", 256 * kPart, 0, "more than 8 parts", aborted},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server.clear_faults();
    server.clear_requests();
    const std::string key = "u" + std::to_string(&c - cases.data()), data = pattern(c.size);
    server.put_object("b", key, "old");
    if (c.fault) server.add_fault(FakeS3Fault(*c.fault).on(c.fault->method, "b", key));
    vorlan::host::MemorySource source(data);
    const auto result = module.host().recv(
        module.session(),
        {.pathname = "/b/" + key,
         .truncate = true,
         .alloc_size = c.announced < 0 ? c.size : c.announced,
         .expected_checksum = c.expected,
         .expected_checksum_alg = c.expected ? std::optional<std::string>(c.alg) : std::nullopt},
        c.channel, source);
    std::map<int, std::string> part_sizes;
    EXPECT_EQ(kinds(server.requests(), key, &part_sizes), c.requests);
    std::string sizes, metadata;
    for (const auto &[number, size] : part_sizes) sizes += size + ",";
    if (!c.part_sizes.empty()) {
      EXPECT_EQ(sizes, c.part_sizes);
    }
    EXPECT_TRUE(server.uploads_in_progress("b").empty());
    const auto stored = server.object("b", key);
    if (!c.error.empty()) {
      EXPECT_NE((result.reply.text + result.reply.headers).find(c.error), std::string::npos)
          << result.reply.text;
      EXPECT_EQ(stored->data, "old");
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    EXPECT_EQ(stored->data, data);
    // Every checksum of a stored object is cached under its ETag, single PUTs' too.
    auto cached = [&](vorlan_i_s3_algorithm alg) {
      char value[33] = "";
      vorlan_i_s3_checksum_find_algorithm("b", key.c_str(), stored->etag.c_str(), data.size(), alg,
                                          value);
      return std::string(value);
    };
    EXPECT_EQ(cached(vorlan_i_s3_algorithm::adler32) + " " + cached(vorlan_i_s3_algorithm::crc32c),
              reference.at(c.size));
    if (c.requests == "PUT") continue;
    EXPECT_TRUE(stored->etag.ends_with("-" + std::to_string(part_sizes.size()) + "\""));
    for (const auto &[name, value] : stored->metadata) metadata += name + "=" + value + ";";
    EXPECT_EQ(metadata, c.metadata);
    // The object's MD5 comes from the cache: no byte is read back.
    const auto cksm =
        module.host().command(module.session(), VORLAN_GFS_CMD_CKSM, "/b/" + key, "", "md5");
    EXPECT_EQ(cksm.response.value_or(""), fake_s3_md5_hex(data));
    EXPECT_EQ(server.count("GET"), 0u);
  }
  std::tie(vorlan_i_s3_part_size, vorlan_i_s3_multipart_threshold, vorlan_i_s3_transfer_streams,
           vorlan_i_s3_multipart_max_parts) = saved;
  vorlan_i_s3_storage_class = nullptr;
}

}  // namespace

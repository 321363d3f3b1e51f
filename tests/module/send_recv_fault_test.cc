// Downloads and uploads through the loaded module, against the fake server's faults and the
// host's data-channel faults: the bytes the client gets, what is stored, and how each failure
// is reported.
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "module_test_hooks.h"

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using vorlan::host::DataChannelOptions;
using vorlan::host::MemorySink;
using vorlan::host::MemorySource;
using vorlan::host::TransferInfo;
using vorlan::host::TransferResult;
using vorlan::test::FakeS3Fault;
using vorlan::test::FakeS3Server;
using vorlan::test::ModuleSession;
using vorlan::test::TempDir;

constexpr int64_t kBlock = 256 * 1024;
constexpr int64_t kMiB = 1024 * 1024;

std::string pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + seed + (i >> 13));
  return data;
}

void expect_in(const std::string &text, const std::string &part) {
  EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
}

// What the log says a whole download put into the checksum cache: every algorithm's value.
std::string cached(const std::string &data) {
  using vorlan::test::reference_checksum;
  return " md5sum=" + reference_checksum("md5", data) +
         " adler32=" + reference_checksum("adler32", data) +
         " crc32c=" + reference_checksum("crc32c", data);
}

class SendRecvFaults : public ::testing::Test {
 protected:
  SendRecvFaults() { server_.create_bucket("b"); }
  void load(int max_retries, const std::string &settings = "") {
    const std::string config =
        "max_retries = " + std::to_string(max_retries) + "\nretry_delay = 1\n" + settings;
    if (module_ && config == config_) return;
    config_ = config;
    log_seen_ = 0;
    module_.reset();
    module_ = std::make_unique<ModuleSession>(server_.host(), config, "DEBUG|INFO");
  }
  // The module's diagnostic log since the last call.
  std::string new_log() {
    const std::string log = TempDir::read(module_->log_path());
    const size_t seen = std::exchange(log_seen_, log.size());
    return log.substr(std::min(seen, log.size()));
  }
  void reset() {
    server_.clear_faults();
    server_.clear_requests();
  }
  FakeS3Server server_;
  std::unique_ptr<ModuleSession> module_;
  std::string config_;
  size_t log_seen_ = 0;
};

using Channel = DataChannelOptions;
using std::chrono_literals::operator""ms;
const Channel kPlain;
constexpr std::nullopt_t kNoFault = std::nullopt;

TransferInfo info(int64_t alloc, std::optional<std::string> checksum = {}, const char *alg = "md5",
                  bool truncate = true, const char *path = "/b/u") {
  const bool named = checksum.has_value();
  return {.pathname = path,
          .truncate = truncate,
          .alloc_size = alloc,
          .expected_checksum = std::move(checksum),
          .expected_checksum_alg = named ? std::optional<std::string>(alg) : std::nullopt};
}

TEST_F(SendRecvFaults, DownloadsResumeOrReportEachFault) {
  const std::string data = pattern(4 * kBlock + 123, 1);
  const int64_t size = static_cast<int64_t>(data.size());
  // Not an MD5, so the download hashes the object for the checksum cache.
  const std::string etag = "\"d0wn-2\"";
  // A body cut short, after which the object is replaced.
  auto replaced = [&](std::string new_data, std::string new_etag) {
    return FakeS3Fault::short_body(300000).on("GET").then(
        [=, this] { server_.put_object("b", "k", {.data = new_data, .etag = new_etag}); });
  };
  const std::string shrunk = "Unexpected end of file.  Full size: " + std::to_string(size) +
                             ", size sent: " + std::to_string(2 * kBlock);
  const FakeS3Fault gcs_416 = FakeS3Fault::error(416, "InvalidRange", "Cannot be satisfied.");
  const Channel at_end{.read_ranges = {{size, -1}}};
  struct Case {
    const char *label;
    std::optional<FakeS3Fault> fault;
    DataChannelOptions channel;
    std::string error;  // part of the reply; empty for success
    int gets;
    bool resumed = false;
    int max_retries = 1;
    const char *path = "/b/k";
  };
  const std::vector<Case> cases = {
      {"reset mid-GET, resumed", FakeS3Fault::reset_after(300000).on("GET"), kPlain, "", 2, true},
      {"short body, resumed", FakeS3Fault::short_body(100000).on("GET"), kPlain, "", 2, true},
      {"503, then success", FakeS3Fault::error(503, "ServiceUnavailable").on("GET"), kPlain, "", 2},
      {"a front end that ignores Range: asked for whole",
       FakeS3Fault::real_answer().ignoring_range().on("GET"), kPlain, "", 2},
      {"SlowDown beyond the retry limit", FakeS3Fault::error(503, "SlowDown").on("GET").times(-1),
       kPlain, "451-Error-Type: TOO_BUSY", 2},
      {"every attempt cut short: resumes are bounded",
       FakeS3Fault::short_body(1000).on("GET").times(-1), kPlain, "TransportShortBody", 101},
      {"object shrinks between attempts", replaced(data.substr(0, 2 * kBlock), etag), kPlain,
       shrunk, 2},
      {"object replaced between attempts", replaced(pattern(data.size(), 2), ""), kPlain,
       "changed during the transfer", 2},
      {"writes complete out of order", kNoFault, Channel{.reverse_completion_batch = 3}, "", 1},
      {"writes complete late: back-pressure", kNoFault, Channel{.completion_delay = 2ms}, "", 1},
      {"a host write fails", kNoFault, Channel{.fail_completion_at = 2},
       "Injected failure of completion 2", 1},
      {"a write registration is refused", kNoFault, Channel{.fail_registration_at = 3},
       "Injected failure of registration 3", 1},
      {"a host that wants no concurrency", kNoFault, Channel{.optimal_concurrency = 0}, "", 1},
      // One slow write at a time and small blocks: the body waits for writes to complete.
      {"a registration refused while the body waits for writes", kNoFault,
       Channel{.block_size = 16384,
               .optimal_concurrency = 1,
               .fail_registration_at = 5,
               .completion_delay = 5ms},
       "Injected failure of registration 5", 1},
      {"restart at the end, S3 details", kNoFault, at_end, "", 1},
      {"restart at the end, Content-Range only",
       FakeS3Fault(gcs_416).with_header("Content-Range", "bytes */" + std::to_string(size)), at_end,
       "", 1},
      {"InvalidRange without a size", gcs_416, at_end, "553-Error-Type: APPEND_NOT_SUPPORTED", 1},
      {"a directory's key", kNoFault, kPlain, "System error in send: Invalid argument", 0, false, 1,
       "/b/k/"},
      {"reset mid-GET, no retry left", FakeS3Fault::reset_after(300000).on("GET"), kPlain,
       "TransportConnectionReset", 1, false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    server_.put_object("b", "k", {.data = data, .etag = etag});
    if (c.fault) server_.add_fault(*c.fault);
    load(c.max_retries);
    MemorySink sink;
    TransferResult result = module_->host().send(
        module_->session(), info(0, std::nullopt, "", true, c.path), c.channel, sink);
    EXPECT_TRUE(module_->host().violations().empty());
    EXPECT_EQ(server_.count("GET"), static_cast<size_t>(c.gets));
    EXPECT_LE(result.max_outstanding, std::max(c.channel.optimal_concurrency, 1));
    const std::string log = new_log();
    if (!c.error.empty()) {
      expect_in(result.reply.text, c.error);
      EXPECT_EQ(log.find("checksum cached"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    const bool whole = c.channel.read_ranges[0].first == 0;
    EXPECT_EQ(sink.contents(), whole ? data : "");
    EXPECT_EQ(result.bytes_written, whole ? size : 0);
    if (whole) expect_in(log, "checksum cached: op=");
    if (whole) expect_in(log, "etag=" + etag + " size=" + std::to_string(size) + cached(data));
    if (c.resumed) {
      // The rest of the object, from a version that cannot have changed.
      const vorlan::test::RecordedRequest second = server_.requests().at(1);
      EXPECT_EQ(second.header("if-match"), etag);
      EXPECT_EQ(second.header("range").rfind("bytes=", 0), 0u);
      EXPECT_EQ(second.header("range").find("bytes=0-"), std::string::npos);
    }
  }
}

// Slices of 5 MiB (the smallest part the configuration takes) over 4 requests at once: each
// pinned to the first answer's ETag and resumed alone, all stopped by one that fails for good,
// and every byte handed to the host in offset order within a bounded number of blocks.
TEST_F(SendRecvFaults, DownloadSlicesResumeAloneStopTogetherAndKeepOrder) {
  constexpr int64_t kPart = 5 * kMiB;
  // The ETag is the MD5: the slices' bytes give the other digests.
  const std::string data = pattern(6 * kPart - 1000, 4),
                    etag = "\"" + vorlan::test::fake_s3_md5_hex(data) + "\"";
  auto slice = [](int64_t n) { return "bytes=" + std::to_string(n * kPart) + "-"; };
  struct Case {
    const char *label;
    std::optional<FakeS3Fault> fault;
    Channel channel;
    std::string error;  // part of the reply; empty for success
    int gets;           // with an error: the most
    int again = -1;     // the slice asked for twice
    int64_t written = 6 * kPart;
  };
  const std::vector<Case> cases = {
      {"clean", kNoFault, kPlain, "", 6},
      {"writes complete out of order", kNoFault, Channel{.reverse_completion_batch = 3}, "", 6},
      {"a slice reset mid-body", FakeS3Fault::reset_after(100000).on("GET").with_range(slice(2)),
       kPlain, "", 7, 2},
      {"a slow slice holds the window",
       FakeS3Fault::stall_after(1000, 300ms).on("GET").with_range(slice(1)), kPlain, "", 7, 1},
      {"a slice refused past its retries",
       FakeS3Fault::error(503, "SlowDown").on("GET").with_range(slice(1)).times(-1), kPlain,
       "451-Error-Type: TOO_BUSY", 6, -1, kPart},
      {"the object replaced between slices",
       FakeS3Fault::real_answer().on("GET").with_range(slice(0)).then(
           [this] { server_.put_object("b", "k", std::string("new")); }),
       kPlain, "changed during the transfer", 5, -1, kPart},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    server_.put_object("b", "k", {.data = data, .etag = etag});
    if (c.fault) server_.add_fault(*c.fault);
    load(1, "transfer_streams = 4\npart_size = " + std::to_string(kPart) + "\n");
    MemorySink sink;
    TransferResult result = module_->host().send(
        module_->session(), info(0, std::nullopt, "", true, "/b/k"), c.channel, sink);
    EXPECT_TRUE(module_->host().violations().empty());
    EXPECT_LE(server_.count("GET"), static_cast<size_t>(c.gets));
    EXPECT_LE(result.bytes_written, c.written);
    // Writes go in offset order, none after a slice failed; at most 3 × 4 + 2 blocks exist.
    const std::string log = new_log();
    const size_t failed_at = log.find("the transfer stops");
    long long next = 0, size = 0, offset = 0, blocks = 0;
    for (size_t at = log.find("registering write"); at != std::string::npos;
         at = log.find("registering write", at + 1)) {
      EXPECT_LT(at, failed_at);
      std::sscanf(log.c_str() + log.find("size=", at), "size=%lld offset=%lld", &size, &offset);
      EXPECT_EQ(offset, std::exchange(next, offset + size));
    }
    for (size_t at = log.find("new_buffer="); at != std::string::npos;
         at = log.find("new_buffer=", at + 1)) {
      ++blocks;
      std::sscanf(log.c_str() + log.find("size=", at), "size=%lld", &size);
      EXPECT_LE(size, 256 * 1024);  // the channel's block size: a read-ahead goes in pieces
    }
    EXPECT_LE(blocks, 3 * 4 + 2);
    if (!c.error.empty()) {
      expect_in(result.reply.text, c.error);
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    EXPECT_TRUE(sink.contents() == data);
    EXPECT_EQ(server_.count("GET"), static_cast<size_t>(c.gets));
    expect_in(log, "slices=6 streams=4 part_size=" + std::to_string(kPart));
    expect_in(log, "etag=" + etag + " size=" + std::to_string(data.size()) + cached(data));
    // Every slice after the first is pinned; each is asked for once but the one that broke.
    const std::vector<vorlan::test::RecordedRequest> requests = server_.requests();
    std::map<std::string, int> ends;
    for (const auto &r : requests) {
      EXPECT_EQ(r.header("if-match"), &r == &requests[0] ? "" : etag);
      ++ends[r.header("range").substr(r.header("range").find('-') + 1)];
    }
    for (int64_t i = 0; i < 6; ++i) {
      const int64_t end = std::min<int64_t>((i + 1) * kPart, data.size()) - 1;
      EXPECT_EQ(ends[std::to_string(end)], i == c.again ? 2 : 1) << "slice " << i;
    }
  }
}

// Archived objects: one signed restore as configured, then 451 till done; Google's ARCHIVE is read.
TEST(ArchivedObjects, RestoredOnceThenRead) {
  FakeS3Server server({.auth = FakeS3Server::Auth::kSigV4});
  using Object = vorlan::test::FakeS3Object;
  struct Case {
    const char *label, *settings, *storage_class;
    std::optional<FakeS3Fault> fault;
    size_t restores;
    const char *body, *reply;  // reply: "" for success
  } cases[] = {
      {"GLACIER, Bulk for 7 days", "restore_days = 7\nrestore_tier = bULK\n", "GLACIER", kNoFault,
       1, "<Days>7</Days><GlacierJobParameters><Tier>Bulk</Tier></GlacierJobParameters>",
       "451-Object \"/b/k\" is being restored from its archive class GLACIER: retry later (a Bulk "
       "retrieval typically takes up to 12 hours)."},
      {"DEEP_ARCHIVE, the service's tier", "", "DEEP_ARCHIVE", kNoFault, 1,
       "<Days>4</Days></RestoreRequest>", "(a Standard retrieval typically takes up to 12 hours)"},
      {"a second GET's HEAD refused: 409", "", "GLACIER",
       FakeS3Fault::error(403, "").on("HEAD").times(2), 2, "<Days>4</Days>",
       "451-Error-Type: RESTORE_IN_PROGRESS"},
      {"restore refused", "", "GLACIER",
       FakeS3Fault::error(403, "AccessDenied").on("POST").times(2), 2, "",
       "550-Object \"/b/k\" is in an archive class and its restore could not be requested"},
      {"Google Cloud's ARCHIVE", "", "ARCHIVE", kNoFault, 0, "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    ModuleSession module(
        server.host(), c.settings, "", std::chrono::minutes(2),
        {.creds = R"({"access_key_id": "AKIDFAKE", "secret_access_key": "fake-secret"})"});
    server.put_object("b", "k", Object{.data = "k", .storage_class = c.storage_class});
    server.clear_requests();
    if (c.fault) server.add_fault(*c.fault);
    for (int get = 0; get < 3; ++get) {
      if (get == 2) {
        EXPECT_EQ(server.count("POST"), c.restores);
        expect_in(server.object("b", "k")->restore_request, c.body);
        server.put_object(
            "b", "k",
            {.data = "k", .storage_class = c.storage_class, .restore = Object::Restore::kDone});
      }
      MemorySink sink;
      const TransferResult result =
          module.host().send(module.session(), info(0, {}, "", true, "/b/k"), kPlain, sink);
      if (get < 2 && *c.reply != '\0') {
        expect_in(result.reply.text, c.reply);
        continue;
      }
      EXPECT_TRUE(result.reply.ok() && sink.contents() == "k") << result.reply.text;
    }
  }
}

// The uploads' client: a read at an offset `wait` names waits until it says otherwise.
struct LateReads : MemorySource {
  LateReads(std::string data, std::function<bool(int64_t)> wait)
      : MemorySource(std::move(data)), wait(std::move(wait)) {}
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (wait(offset) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    return MemorySource::read_at(offset, data, length);
  }
  std::function<bool(int64_t)> wait;
};

TEST_F(SendRecvFaults, UploadsStoreAllOrNothing) {
  const Channel held{
      .completion_delay = 1ms, .short_read_length = kBlock - 1000, .hold_read_at = kBlock};
  const std::string empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
  const std::string md5_b64 = vorlan::test::fake_s3_md5_base64(pattern(kBlock, 3));
  const FakeS3Fault busy = FakeS3Fault::error(503, "ServiceUnavailable").on("PUT");
  // The reply to a checksum that differs from the expected one, naming both.
  auto mismatch = [](const char *alg, const char *computed, const char *expected) {
    return std::string("550-GridFTP-Computed-Checksum: ") + computed +
           "\r\n550-GridFTP-Expected-Checksum: " + expected + "\r\n550-The " + alg + " checksum";
  };
  // ADLER32 and CRC32C of pattern(size, 3) by Python's zlib.adler32 and crc32c.crc32c (the
  // block's ADLER32 is 661e1de3).
  const char *adler32_10 = "0f1e0326", *crc32c_block = "712a4330";
  struct Case {
    const char *label;
    size_t size;
    DataChannelOptions channel;
    std::optional<FakeS3Fault> fault;
    std::string error;               // part of the reply or its headers; empty for success
    int puts;                        // -1: not checked
    TransferInfo info = ::info(-1);  // alloc_size -1: the data's size
    std::string metadata = "";       // name=value;... as stored
  };
  const std::vector<Case> cases = {
      {"blocks arrive at 4 MiB, 0, 8 MiB", 12 * kMiB,
       Channel{.block_size = 4 * kMiB, .reverse_completion_batch = 2}, kNoFault, "", 1},
      {"the library's buffer is smaller than a block", 3 * kMiB + 5,
       Channel{.block_size = kMiB + 1}, kNoFault, "", 1},
      {"short reads, a held-back block, slow completions", 4 * kBlock + 9, held, kNoFault, "", 1},
      {"the client aborts part-way", 3 * kBlock, Channel{.abort_at_offset = kBlock + 5}, kNoFault,
       "Injected abort of the client", -1},
      {"reset after part of the body", 3 * kBlock, kPlain,
       FakeS3Fault::reset_in_body(kBlock).on("PUT"), "S3 Error", 1},
      {"a wrong Content-MD5", kBlock, kPlain, kNoFault,
       "GridFTP-Computed-Checksum: " + md5_b64 +
           "\nGridFTP-Expected-Checksum: qqqqqqqqqqqqqqqqqqqqqg==",
       1, info(kBlock, std::string(32, 'a'))},
      {"fewer bytes than announced", kBlock, kPlain, kNoFault,
       "Unexpected end of data.  Size announced: 262154, size received: 262144", 1,
       info(kBlock + 10)},
      {"more than announced, the excess last", kBlock + 10, kPlain, kNoFault,
       "System error in write: File too large", -1, info(kBlock)},
      {"no size announced: held to its end", 3 * kBlock + 5,
       Channel{.short_read_length = kBlock / 3}, kNoFault, "", 1, info(0)},
      {"a read registration is refused", 2 * kBlock, Channel{.fail_registration_at = 2}, kNoFault,
       "Injected failure of registration 2", -1},
      {"a read fails", 2 * kBlock, Channel{.fail_completion_at = 2}, kNoFault,
       "Injected failure of completion 2", -1},
      {"503 before an empty body: retried", 0, kPlain, busy, "", 2},
      {"503 after the body: not retried", kBlock, kPlain, busy, "451-Error-Type: TOO_BUSY", 1},
      {"append", 1, kPlain, kNoFault, "553-Error-Type: APPEND_NOT_SUPPORTED", 0,
       info(1, std::nullopt, "", false)},
      {"above 5 TB", 1, kPlain, kNoFault, "File upload too large", 0, info(5000000000001)},
      {"exactly 5 TB is taken (in parts, the short part not sent)", 1, kPlain, kNoFault,
       "Size announced: 5000000000000, size received: 1", 0, info(5000000000000)},
      {"a directory's key", 1, kPlain, kNoFault, "System error in recv: Invalid argument", 0,
       info(1, std::nullopt, "", true, "/b/u/")},
      {"MD5 in upper case, with a modification time", kBlock,
       Channel{.modification_time = 1700000000}, kNoFault, "", 1,
       info(kBlock, vorlan::test::fake_s3_md5_hex(pattern(kBlock, 3)), "MD5"),
       "md5=" + md5_b64 + ";mtime=1700000000;"},
      {"an ADLER32 in upper case, with a modification time", kBlock,
       Channel{.modification_time = 1700000000}, kNoFault, "", 1,
       info(kBlock, "661E1DE3", "ADLER32"), "adler32=661e1de3;mtime=1700000000;"},
      {"a CRC32C, which the service checks too", kBlock, kPlain, kNoFault, "", 1,
       info(kBlock, crc32c_block, "crc32c"), "crc32c=712a4330;sent crc32c=cSpDMA==;"},
      {"a wrong ADLER32: the last byte is not sent", 10, kPlain, kNoFault,
       mismatch("adler32", adler32_10, "0123abcd"), 1, info(10, "0123abcd", "adler32")},
      {"a wrong ADLER32, no size announced", 3 * kBlock + 5,
       Channel{.short_read_length = kBlock / 3}, kNoFault,
       mismatch("adler32", "94165cb4", "00000001"), 1, info(0, "00000001", "adler32")},
      {"a wrong ADLER32 of nothing: no request", 0, kPlain, kNoFault,
       mismatch("adler32", "00000001", "00000000"), 0, info(0, "00000000", "adler32")},
      {"an ADLER32 of 7 digits", 1, kPlain, kNoFault, "Invalid adler32 checksum", 0,
       info(1, "0000001", "adler32")},
      {"the MD5 of nothing", 0, kPlain, kNoFault, "", 1, info(0, empty_md5),
       "md5=1B2M2Y8AsgTpgAmY7PhCfg==;"},
      {"an MD5 of 31 digits", 1, kPlain, kNoFault, "Invalid md5 checksum", 0,
       info(1, empty_md5.substr(1))},
      {"an MD5 that is not hexadecimal", 1, kPlain, kNoFault,
       "Invalid character in md5sum g41d8cd98f00b204e9800998ecf8427e", 0,
       info(1, "g" + empty_md5.substr(1))},
  };
  load(1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    // A key of its own per row: the server may take in an aborted PUT only after the module
    // has reported the failure, so counts and faults never see another row's request.
    const std::string key = "u" + std::to_string(&c - cases.data());
    server_.put_object("b", key, "old");
    if (c.fault) server_.add_fault(FakeS3Fault(*c.fault).on(c.fault->method, "b", key));
    const std::string data = pattern(c.size, 3);
    TransferInfo info = c.info;
    if (info.pathname.rfind("/b/u", 0) == 0) info.pathname.replace(3, 1, key);
    if (info.alloc_size < 0) info.alloc_size = static_cast<int64_t>(c.size);
    // Data past the announced size comes only once the service stored a body or the module
    // holds the body's last byte back, so it surely comes last.
    const size_t log_start = TempDir::read(module_->log_path()).size();
    LateReads source(data, [&](int64_t offset) {
      return info.alloc_size > 0 && offset >= info.alloc_size &&
             server_.object("b", key)->data == "old" &&
             TempDir::read(module_->log_path()).find("held until the end", log_start) ==
                 std::string::npos;
    });
    TransferResult result = module_->host().recv(module_->session(), info, c.channel, source);
    EXPECT_TRUE(module_->host().violations().empty());
    auto puts = [&] {
      return std::ranges::count_if(server_.requests(), [&](const auto &r) {
        return r.method == "PUT" && (r.key == key || r.key == key + "/");
      });
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (puts() < c.puts && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    EXPECT_EQ(c.puts < 0 ? c.puts : puts(), c.puts);
    std::optional<vorlan::test::FakeS3Object> stored = server_.object("b", key);
    if (!c.error.empty()) {
      expect_in(result.reply.text + result.reply.headers, c.error);
      EXPECT_TRUE(stored->data == "old") << "stored over: " << stored->data.size() << " bytes";
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    EXPECT_EQ(stored->data, data);
    std::string metadata;
    for (const auto &[name, value] : stored->metadata) metadata += name + "=" + value + ";";
    if (!stored->crc32c.empty()) metadata += "sent crc32c=" + stored->crc32c + ";";
    EXPECT_EQ(metadata, c.metadata);
    EXPECT_EQ(result.bytes_recvd, static_cast<int64_t>(c.size));
  }
}

// The fake server's generated bytes, as a source and as a sink that checks what it is given.
class Generated : public vorlan::host::DataSource, public vorlan::host::DataSink {
 public:
  explicit Generated(int64_t size) : size_(size) {
    for (uint64_t i = 0; i < 2 * FakeS3Server::kGeneratedPeriod; ++i)
      period_ += FakeS3Server::generated_byte(i);
  }
  int64_t size() const override { return size_; }
  int64_t read_at(int64_t offset, vorlan_byte_t *data, size_t length) override {
    length = std::min<size_t>(length, static_cast<size_t>(size_ - offset));
    for (size_t done = 0; done < length;) {
      const size_t at = static_cast<size_t>((offset + done) % FakeS3Server::kGeneratedPeriod);
      const size_t piece = std::min<size_t>(length - done, FakeS3Server::kGeneratedPeriod);
      std::memcpy(data + done, period_.data() + at, piece);
      done += piece;
    }
    return static_cast<int64_t>(length);
  }
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override {
    std::string expected(length, '\0');
    read_at(offset, reinterpret_cast<vorlan_byte_t *>(expected.data()), length);
    if (std::memcmp(expected.data(), data, length) != 0) ++mismatches;
    written += static_cast<int64_t>(length);
    return true;
  }
  std::atomic<int64_t> written{0};
  std::atomic<int> mismatches{0};

 private:
  int64_t size_;
  std::string period_;
};

// Offsets and sizes past 32 bits stay exact both ways, and nothing holds the object.
TEST_F(SendRecvFaults, ObjectsAbove4GiBStreamBothWays) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "8 GiB through ThreadSanitizer takes too long; the other builds run it";
#endif
  server_.create_bucket("big", "", true);
  load(1);
  const int64_t size = (int64_t{4} << 30) + 3;
  Generated generated(size);
  const TransferInfo object = info(size, std::nullopt, "", true, "/big/o");
  const Channel channel{.block_size = kMiB};
  TransferResult put = module_->host().recv(module_->session(), object, channel, generated);
  ASSERT_TRUE(put.reply.ok()) << put.reply.text;
  EXPECT_EQ(server_.object("big", "o")->size, static_cast<uint64_t>(size));
  TransferResult get = module_->host().send(module_->session(), object, channel, generated);
  ASSERT_TRUE(get.reply.ok()) << get.reply.text;
  EXPECT_EQ(generated.written, size);
  EXPECT_EQ(get.bytes_written, size);
  EXPECT_EQ(generated.mismatches, 0);
  EXPECT_TRUE(module_->host().violations().empty());
}

// A completed read's block is checked before it is queued: data past the announced size (with
// offsets that would wrap a sum) and bytes that overlap what was sent or queued end the upload.
TEST(RecvBlocks, OverlapsAndOverrunsAreRefused) {
  struct Case {
    const char *label;
    int64_t offset;
    uint64_t count;
    const char *error;  // null: queued
    int64_t announced = 1000;
  };
  const auto bound = static_cast<int64_t>(vorlan_i_s3_recv_max_size);
  const std::vector<Case> cases = {
      {"after the sent bytes, before the queued block", 100, 50, nullptr},
      {"overlapping the sent bytes", 99, 10, "overlaps data already received"},
      {"overlapping the queued block", 150, 60, "overlaps data already received"},
      {"up to the announced size", 300, 700, nullptr},
      {"one byte past the announced size", 300, 701, "File too large"},
      {"an offset that wraps", -2, 4, "File too large"},
      {"no size announced: up to 5 TB", bound - 700, 700, nullptr, 0},
      {"no size announced: past 5 TB", bound - 700, 701, "File upload too large", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    vorlan_gfs_transfer_info_t announced{};
    announced.alloc_size = c.announced;
    transfer_state state{};
    state.transfer_info = &announced;
    state.current_offset = 100;
    s3_buffer queued{100, 100, 200, nullptr, 0};
    state.pending_buffers = &queued;
    auto *block = static_cast<s3_buffer *>(std::malloc(sizeof(s3_buffer)));
    *block = {c.count, c.count, c.offset, nullptr, 0};
    const vorlan_result_t result = vorlan_i_s3_recv_accept_block(&state, VORLAN_SUCCESS, block);
    const std::string text = vorlan::test::error_text(result);
    EXPECT_EQ(c.error ? text.find(c.error) != std::string::npos : text.empty(), true) << text;
    vorlan_error_release(result);
    // Refused blocks go back to the pool; a queued one sits in order.
    EXPECT_EQ(vorlan_i_s3_buffer_count(state.pending_buffers), c.error ? 1 : 2);
    EXPECT_EQ(vorlan_i_s3_buffer_count(state.free_buffers), c.error ? 1 : 0);
    vorlan_i_s3_buffer_unlink(&state.pending_buffers, queued.data());
    vorlan_i_s3_buffer_free_list(&state.pending_buffers);
    vorlan_i_s3_buffer_free_list(&state.free_buffers);
  }
}

}  // namespace

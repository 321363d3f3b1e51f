// Downloads and uploads through the loaded module, against the fake server's faults and the
// host's data-channel faults: the bytes the client gets, what is stored, and how each failure
// is reported.
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_s3_server.h"
#include "module_session.h"
#include "module_test_hooks.h"

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

vorlan::test::FakeS3Object object_of(const std::string &data, const std::string &etag) {
  vorlan::test::FakeS3Object object;
  object.data = data;
  object.etag = etag;
  return object;
}

TransferInfo transfer_info(const std::string &path) {
  TransferInfo info;
  info.pathname = path;
  return info;
}

void expect_parts(const std::string &text, const std::vector<std::string> &parts) {
  for (const std::string &part : parts) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
  }
}

class SendRecvFaults : public ::testing::Test {
 protected:
  SendRecvFaults() { server_.create_bucket("b"); }
  void load(int max_retries) {
    if (module_ && max_retries == max_retries_) return;
    max_retries_ = max_retries;
    log_seen_ = 0;
    module_.reset();
    module_ = std::make_unique<ModuleSession>(
        server_.host(), "max_retries = " + std::to_string(max_retries) + "\nretry_delay = 1\n",
        "DEBUG");
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
  int max_retries_ = 0;
  size_t log_seen_ = 0;
};

TEST_F(SendRecvFaults, DownloadsResumeOrReportEachFault) {
  const std::string data = pattern(4 * kBlock + 123, 1);
  const int64_t size = static_cast<int64_t>(data.size());
  // Not an MD5, so the download hashes the object for the checksum cache.
  const std::string etag = "\"d0wn-2\"";
  using Faults = std::function<void(FakeS3Server &)>;
  auto replace_with = [&](std::string new_data, std::string new_etag) {
    return [=](FakeS3Server &server) {
      server.add_fault(
          FakeS3Fault::short_body(300000).on("GET").then([&server, new_data, new_etag] {
            server.put_object("b", "k", object_of(new_data, new_etag));
          }));
    };
  };
  struct Case {
    const char *label;
    Faults faults;
    std::function<void(DataChannelOptions &)> channel;
    int max_retries;
    std::vector<std::string> error;  // parts of the reply; empty for success
    int gets;
    bool resumed = false;
    std::string path = "/b/k";
    std::vector<std::pair<int64_t, int64_t>> ranges = {{0, -1}};
  };
  const std::vector<Case> cases = {
      {"reset mid-GET, resumed",
       [](FakeS3Server &s) { s.add_fault(FakeS3Fault::reset_after(300000).on("GET")); },
       nullptr,
       1,
       {},
       2,
       true},
      {"short body, resumed",
       [](FakeS3Server &s) { s.add_fault(FakeS3Fault::short_body(100000).on("GET")); },
       nullptr,
       1,
       {},
       2,
       true},
      {"503, then success",
       [](FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(503, "ServiceUnavailable").on("GET"));
       },
       nullptr,
       1,
       {},
       2},
      {"SlowDown beyond the retry limit",
       [](FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(503, "SlowDown").on("GET").times(-1));
       },
       nullptr,
       1,
       {"451-Error-Type: TOO_BUSY"},
       2},
      {"every attempt cut short: resumes are bounded",
       [](FakeS3Server &s) { s.add_fault(FakeS3Fault::short_body(1000).on("GET").times(-1)); },
       nullptr,
       1,
       {"TransportShortBody"},
       101},
      {"object shrinks between attempts",
       replace_with(data.substr(0, 2 * kBlock), etag),
       nullptr,
       1,
       {"Unexpected end of file.  Full size: " + std::to_string(size) +
        ", size sent: " + std::to_string(2 * kBlock)},
       2},
      {"object replaced between attempts",
       replace_with(pattern(data.size(), 2), ""),
       nullptr,
       1,
       {"changed during the transfer"},
       2},
      {"write completions out of order",
       nullptr,
       [](DataChannelOptions &c) { c.reverse_completion_batch = 3; },
       1,
       {},
       1},
      {"write completions delayed: back-pressure",
       nullptr,
       [](DataChannelOptions &c) { c.completion_delay = std::chrono::milliseconds(2); },
       1,
       {},
       1},
      {"the client goes away part-way",
       nullptr,
       [](DataChannelOptions &c) { c.abort_at_offset = 3 * kBlock; },
       1,
       {"Injected abort of the client"},
       1},
      {"a host write fails",
       nullptr,
       [](DataChannelOptions &c) { c.fail_completion_at = 2; },
       1,
       {"Injected failure of completion 2"},
       1},
      {"a write registration is refused",
       nullptr,
       [](DataChannelOptions &c) { c.fail_registration_at = 3; },
       1,
       {"Injected failure of registration 3"},
       1},
      {"restart at the end, S3 details", nullptr, nullptr, 1, {}, 1, false, "/b/k", {{size, -1}}},
      {"restart at the end, Content-Range only",
       [&](FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(416, "InvalidRange", "Cannot be satisfied.")
                         .with_header("Content-Range", "bytes */" + std::to_string(size)));
       },
       nullptr,
       1,
       {},
       1,
       false,
       "/b/k",
       {{size, -1}}},
      {"InvalidRange without a size",
       [](FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(416, "InvalidRange", "Cannot be satisfied."));
       },
       nullptr,
       1,
       {"553-Error-Type: APPEND_NOT_SUPPORTED"},
       1,
       false,
       "/b/k",
       {{size, -1}}},
      {"no object key",
       nullptr,
       nullptr,
       1,
       {"System error in send: Invalid argument"},
       0,
       false,
       "/b"},
      {"reset mid-GET, no retry left",
       [](FakeS3Server &s) { s.add_fault(FakeS3Fault::reset_after(300000).on("GET")); },
       nullptr,
       0,
       {"TransportConnectionReset"},
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    server_.put_object("b", "k", object_of(data, etag));
    if (c.faults) c.faults(server_);
    load(c.max_retries);
    DataChannelOptions channel;
    channel.read_ranges = c.ranges;
    if (c.channel) c.channel(channel);
    MemorySink sink;
    TransferResult result =
        module_->host().send(module_->session(), transfer_info(c.path), channel, sink);
    EXPECT_TRUE(module_->host().violations().empty());
    EXPECT_EQ(server_.count("GET"), static_cast<size_t>(c.gets));
    EXPECT_LE(result.max_outstanding, channel.optimal_concurrency);
    const std::string log = new_log();
    if (!c.error.empty()) {
      EXPECT_FALSE(result.reply.ok());
      expect_parts(result.reply.text, c.error);
      EXPECT_EQ(log.find("checksum cached"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    const bool whole = c.ranges[0].first == 0;
    EXPECT_EQ(sink.contents(), whole ? data : "");
    EXPECT_EQ(result.bytes_written, whole ? size : 0);
    if (whole) {
      expect_parts(log,
                   {"checksum cached: op=", "etag=" + etag + " size=" + std::to_string(size) +
                                                " md5sum=" + vorlan::test::fake_s3_md5_hex(data)});
    }
    if (c.resumed) {
      // The rest of the object, from a version that cannot have changed.
      const vorlan::test::RecordedRequest second = server_.requests().at(1);
      EXPECT_EQ(second.header("if-match"), etag);
      EXPECT_NE(second.header("range").find("bytes="), std::string::npos);
      EXPECT_EQ(second.header("range").find("bytes=0-"), std::string::npos);
    }
  }
}

TEST_F(SendRecvFaults, UploadsStoreAllOrNothing) {
  using Setup = std::function<void(TransferInfo &, DataChannelOptions &, FakeS3Server &)>;
  struct Case {
    const char *label;
    size_t size;
    Setup setup;
    std::vector<std::string> error;  // parts of the reply; empty for success
    int puts;
    std::map<std::string, std::string> metadata = {};
  };
  const std::string hex_of_empty = "d41d8cd98f00b204e9800998ecf8427e";
  const std::vector<Case> cases = {
      {"blocks arrive at 4 MiB, 0, 8 MiB",
       12 * kMiB,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) {
         c.block_size = 4 * kMiB;
         c.reverse_completion_batch = 2;
       },
       {},
       1},
      {"the library's buffer is smaller than a block",
       3 * kMiB + 5,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) { c.block_size = kMiB + 1; },
       {},
       1},
      {"short reads, a held-back block, slow completions",
       4 * kBlock + 9,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) {
         c.short_read_length = kBlock - 1000;
         c.hold_read_at = kBlock;
         c.completion_delay = std::chrono::milliseconds(1);
       },
       {},
       1},
      {"the client aborts part-way",
       3 * kBlock,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) {
         c.abort_at_offset = kBlock + 5;
       },
       {"Injected abort of the client"},
       -1},
      {"reset after part of the body",
       3 * kBlock,
       [](TransferInfo &, DataChannelOptions &, FakeS3Server &s) {
         s.add_fault(FakeS3Fault::reset_in_body(kBlock).on("PUT"));
       },
       {"S3 Error"},
       1},
      {"wrong Content-MD5",
       kBlock,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) {
         i.expected_checksum = std::string(32, 'a');
         i.expected_checksum_alg = "md5";
       },
       {"550-Error-Type: INCORRECT_CHECKSUM",
        "GridFTP-Computed-Checksum: " + vorlan::test::fake_s3_md5_base64(pattern(kBlock, 3)),
        "GridFTP-Expected-Checksum: qqqqqqqqqqqqqqqqqqqqqg=="},
       1},
      {"the client sends fewer bytes than it announced",
       kBlock,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.alloc_size += 10; },
       {"Unexpected end of data.  Size announced: 262154, size received: 262144"},
       1},
      {"announced 0, then a byte",
       1,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.alloc_size = 0; },
       {"System error in write: File too large"},
       -1},
      {"a read registration is refused",
       2 * kBlock,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) { c.fail_registration_at = 2; },
       {"Injected failure of registration 2"},
       -1},
      {"a read fails",
       2 * kBlock,
       [](TransferInfo &, DataChannelOptions &c, FakeS3Server &) { c.fail_completion_at = 2; },
       {"Injected failure of completion 2"},
       -1},
      {"503 before an empty body: retried",
       0,
       [](TransferInfo &, DataChannelOptions &, FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(503, "ServiceUnavailable").on("PUT"));
       },
       {},
       2},
      {"503 after the body: not retried",
       kBlock,
       [](TransferInfo &, DataChannelOptions &, FakeS3Server &s) {
         s.add_fault(FakeS3Fault::error(503, "ServiceUnavailable").on("PUT"));
       },
       {"451-Error-Type: TOO_BUSY"},
       1},
      {"append",
       1,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.truncate = false; },
       {"553-Error-Type: APPEND_NOT_SUPPORTED"},
       0},
      {"above 5 TB",
       1,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.alloc_size = 5000000000001; },
       {"File upload too large"},
       0},
      {"exactly 5 TB is taken",
       1,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.alloc_size = 5000000000000; },
       {"Size announced: 5000000000000, size received: 1"},
       1},
      {"no object key",
       1,
       [](TransferInfo &i, DataChannelOptions &, FakeS3Server &) { i.pathname = "/b"; },
       {"System error in recv: Invalid argument"},
       0},
      {"MD5 in upper case, with a modification time",
       kBlock,
       [](TransferInfo &i, DataChannelOptions &c, FakeS3Server &) {
         i.expected_checksum = vorlan::test::fake_s3_md5_hex(pattern(kBlock, 3));
         i.expected_checksum_alg = "MD5";
         c.modification_time = 1700000000;
       },
       {},
       1,
       {{"md5", vorlan::test::fake_s3_md5_base64(pattern(kBlock, 3))}, {"mtime", "1700000000"}}},
      {"another algorithm: no MD5",
       10,
       [](TransferInfo &i, DataChannelOptions &c, FakeS3Server &) {
         i.expected_checksum = "0123abcd";
         i.expected_checksum_alg = "adler32";
         c.modification_time = -1;
       },
       {},
       1,
       {}},
      {"the MD5 of nothing",
       0,
       [&](TransferInfo &i, DataChannelOptions &, FakeS3Server &) {
         i.expected_checksum = hex_of_empty;
         i.expected_checksum_alg = "md5";
       },
       {},
       1,
       {{"md5", "1B2M2Y8AsgTpgAmY7PhCfg=="}}},
      {"an MD5 of 31 digits",
       1,
       [&](TransferInfo &i, DataChannelOptions &, FakeS3Server &) {
         i.expected_checksum = hex_of_empty.substr(1);
         i.expected_checksum_alg = "md5";
       },
       {"Invalid md5 checksum"},
       0},
      {"an MD5 that is not hexadecimal",
       1,
       [&](TransferInfo &i, DataChannelOptions &, FakeS3Server &) {
         i.expected_checksum = "g" + hex_of_empty.substr(1);
         i.expected_checksum_alg = "md5";
       },
       {"Invalid character in md5sum g41d8cd98f00b204e9800998ecf8427e"},
       0},
  };
  load(1);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    reset();
    server_.put_object("b", "u", "");
    const std::string data = pattern(c.size, 3);
    TransferInfo info = transfer_info("/b/u");
    info.alloc_size = static_cast<int64_t>(c.size);
    DataChannelOptions channel;
    c.setup(info, channel, server_);
    MemorySource source(data);
    TransferResult result = module_->host().recv(module_->session(), info, channel, source);
    EXPECT_TRUE(module_->host().violations().empty());
    if (c.puts >= 0) {
      EXPECT_EQ(server_.count("PUT"), static_cast<size_t>(c.puts));
    }
    std::optional<vorlan::test::FakeS3Object> stored = server_.object("b", "u");
    if (!c.error.empty()) {
      EXPECT_FALSE(result.reply.ok());
      expect_parts(result.reply.text, c.error);
      if (info.alloc_size > 0) {
        EXPECT_EQ(stored->data, "") << "a failed upload stored data";
      }
      continue;
    }
    ASSERT_TRUE(result.reply.ok()) << result.reply.text;
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->data, data);
    EXPECT_EQ(stored->metadata, c.metadata);
    EXPECT_EQ(result.bytes_recvd, static_cast<int64_t>(c.size));
  }
}

// The fake server's generated bytes, as a source and as a sink that checks what it is given.
class Generated : public vorlan::host::DataSource, public vorlan::host::DataSink {
 public:
  explicit Generated(int64_t size) : size_(size) {
    for (uint64_t i = 0; i < 2 * FakeS3Server::kGeneratedPeriod; ++i) {
      period_ += FakeS3Server::generated_byte(i);
    }
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
  TransferInfo info = transfer_info("/big/o");
  info.alloc_size = size;
  DataChannelOptions channel;
  channel.block_size = kMiB;
  TransferResult put = module_->host().recv(module_->session(), info, channel, generated);
  ASSERT_TRUE(put.reply.ok()) << put.reply.text;
  EXPECT_EQ(server_.object("big", "o")->size, static_cast<uint64_t>(size));
  TransferResult get = module_->host().send(module_->session(), info, channel, generated);
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
  };
  const std::vector<Case> cases = {
      {"after the sent bytes, before the queued block", 100, 50, nullptr},
      {"overlapping the sent bytes", 99, 10, "overlaps data already received"},
      {"overlapping the queued block", 150, 60, "overlaps data already received"},
      {"up to the announced size", 300, 700, nullptr},
      {"one byte past the announced size", 300, 701, "File too large"},
      {"an offset that wraps", -2, 4, "File too large"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    vorlan_gfs_transfer_info_t info{};
    info.alloc_size = 1000;
    transfer_state state{};
    state.transfer_info = &info;
    state.current_offset = 100;
    alignas(s3_buffer) char queued_memory[sizeof(s3_buffer)];
    auto *queued = new (queued_memory) s3_buffer{100, 100, 200, nullptr, 0};
    state.pending_buffers = queued;
    state.pending_buffers_tail = &queued->next;
    auto *block = static_cast<s3_buffer *>(std::malloc(sizeof(s3_buffer)));
    *block = {c.count, c.count, c.offset, nullptr, 0};
    const vorlan_result_t result = vorlan_i_s3_recv_accept_block(&state, VORLAN_SUCCESS, block);
    EXPECT_EQ(vorlan::test::error_text(result).find(c.error ? c.error : "?") != std::string::npos,
              c.error != nullptr)
        << vorlan::test::error_text(result);
    vorlan_error_release(result);
    // Refused blocks go back to the pool; a queued one sits in order.
    EXPECT_EQ(vorlan_i_s3_buffer_count(state.pending_buffers), c.error ? 1 : 2);
    EXPECT_EQ(vorlan_i_s3_buffer_count(state.free_buffers), c.error ? 1 : 0);
    vorlan_i_s3_buffer_unlink(&state.pending_buffers, queued->data());
    vorlan_i_s3_buffer_free_list(&state.pending_buffers);
    vorlan_i_s3_buffer_free_list(&state.free_buffers);
  }
}

}  // namespace

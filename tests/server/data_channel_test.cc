// Downloads and uploads through the host's data channel: bytes land at their offsets, the
// source is read once with one end of data, and a client's abort stops the bytes at its offset.
#include <vorlan/host.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "test_dsi/test_dsi_host.hpp"

namespace vorlan::host {
namespace {

using ::testing::Contains;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::load_test_dsi;
using testing::pattern;
using testing::start_test_session;

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class DataChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = load_test_dsi();
    ASSERT_NE(host_, nullptr);
    session_ = start_test_session(*host_);
    ASSERT_NE(session_, nullptr);
  }
  TransferResult send(int64_t size, const DataChannelOptions &channel, DataSink &sink,
                      const std::string &path = "") {
    return host_->send(*session_,
                       {.pathname = path.empty() ? "/send/" + std::to_string(size) : path}, channel,
                       sink);
  }
  // `streamed`: a source of unknown size, as standard input is.
  TransferResult recv(const std::string &data, const DataChannelOptions &channel,
                      bool streamed = false) {
    struct StreamSource : MemorySource {
      using MemorySource::MemorySource;
      int64_t size() const override { return -1; }
    };
    MemorySource known(data);
    StreamSource stream(data);
    return host_->recv(*session_,
                       {.pathname = "/upload", .alloc_size = static_cast<int64_t>(data.size())},
                       channel, streamed ? stream : known);
  }
  std::string last_line(const std::string &start) {
    std::string line;
    for (const auto &l : host_->server_log()) line = l.starts_with(start) ? l : line;
    return line;
  }
  // Violations recorded since the last call.
  std::vector<std::string> new_violations() {
    auto all = host_->violations();
    std::vector<std::string> fresh(all.begin() + static_cast<ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  std::unique_ptr<Host> host_;
  std::unique_ptr<Session> session_;
  size_t seen_ = 0;
};

// The test module registers each range in windows of `concurrency` blocks and waits for every
// window, so a delay per completion shows as one delay per window at least.
TEST_F(DataChannelTest, SendPutsEveryBlockAtItsOffset) {
  struct Case {
    std::string what;
    int64_t size;
    std::vector<std::pair<int64_t, int64_t>> ranges;
    vorlan_size_t block;
    int concurrency, reverse_batch = 0;
    milliseconds delay{0};
    int64_t rewritten = 0;
    std::string violation = "";
  } cases[] = {
      {"reversed windows, reversed completions", 1000, {{0, -1}}, 64, 4, 4},
      {"two ranges", 1000, {{100, 300}, {700, -1}}, 64, 3},
      {"slow client", 300, {{0, -1}}, 64, 2, 0, milliseconds(15)},
      {.what = "overlapping ranges write bytes twice",
       .size = 200,
       .ranges = {{0, 100}, {50, 100}},
       .block = 64,
       .concurrency = 2,
       .rewritten = 50,
       .violation = "register_write of 64 bytes at offset 50 wrote 50 of them a second time"},
  };
  for (const auto &c : cases) {
    const DataChannelOptions channel{.block_size = c.block,
                                     .optimal_concurrency = c.concurrency,
                                     .read_ranges = c.ranges,
                                     .reverse_completion_batch = c.reverse_batch,
                                     .completion_delay = c.delay};
    MemorySink sink;
    auto started = Clock::now();
    TransferResult result = send(c.size, channel, sink);
    auto elapsed = Clock::now() - started;
    ASSERT_TRUE(result.reply.ok()) << c.what << ": " << result.reply.text;
    EXPECT_TRUE(result.began) << c.what;
    std::string got = sink.contents();
    int64_t sent = 0, windows = 0;
    auto window = static_cast<int64_t>(c.block) * c.concurrency;
    for (auto [offset, length] : c.ranges) {
      int64_t end = length < 0 ? c.size : offset + length;
      sent += end - offset;
      windows += (end - offset + window - 1) / window;
      ASSERT_GE(static_cast<int64_t>(got.size()), end) << c.what;
      EXPECT_EQ(got.substr(offset, end - offset), pattern(offset, end)) << c.what;
    }
    EXPECT_EQ(result.bytes_transferred, sent) << c.what;
    EXPECT_EQ(result.bytes_written, sent - c.rewritten) << c.what;
    EXPECT_LE(result.max_outstanding, c.concurrency) << c.what;
    EXPECT_GE(elapsed, c.delay * windows) << c.what;
    const std::vector<std::string> violations = new_violations();
    EXPECT_EQ(violations.size(), c.violation.empty() ? 0u : 1u) << c.what;
    for (const std::string &v : violations) EXPECT_THAT(v, HasSubstr(c.violation)) << c.what;
  }
}

// Reads reach the module out of order (reversed batches, a held block), short or slow, yet end
// of data still comes last (the module fails the upload otherwise).
TEST_F(DataChannelTest, RecvReadsTheSourceOnceWithOneEndOfData) {
  struct Case {
    int64_t size;
    int concurrency = 3, reverse_batch = 0;
    vorlan_size_t short_read = 0;
    int64_t hold_at = -1;
    milliseconds delay{0};
    std::string channel_pattern = "";
    bool streamed = false;
  } cases[] = {
      {.size = 1000, .concurrency = 4, .reverse_batch = 4, .channel_pattern = "inversions=[1-9]"},
      {.size = 1000, .short_read = 10},
      {.size = 1000, .hold_at = 0, .channel_pattern = "ahead_of_start=([6-9]|1[0-5])"},
      {.size = 1000, .hold_at = 300, .delay = milliseconds(10)},
      {.size = 1000, .concurrency = 4, .delay = milliseconds(5), .streamed = true},
  };
  for (const auto &c : cases) {
    std::string data = pattern(0, c.size);
    const DataChannelOptions channel{.block_size = 64,
                                     .optimal_concurrency = c.concurrency,
                                     .reverse_completion_batch = c.reverse_batch,
                                     .completion_delay = c.delay,
                                     .short_read_length = c.short_read,
                                     .hold_read_at = c.hold_at,
                                     .hold_read_for = 6};
    auto started = Clock::now();
    TransferResult result = recv(data, channel, c.streamed);
    auto elapsed = Clock::now() - started;
    ASSERT_TRUE(result.reply.ok()) << c.size << ": " << result.reply.text;
    // The test module's summary of an upload it found whole and in order, with no time given.
    EXPECT_EQ(last_line("recv "), "recv bytes=" + std::to_string(c.size) + " mtime=none");
    EXPECT_EQ(result.bytes_transferred, c.size);
    EXPECT_EQ(result.bytes_recvd, c.size);
    EXPECT_THAT(result.ranges_recvd, Contains(std::pair<int64_t, int64_t>(0, c.size)));
    EXPECT_LE(result.max_outstanding, c.concurrency + 1) << c.size;
    std::string channel_line = last_line("channel ");
    auto block = static_cast<int64_t>(c.short_read > 0 ? c.short_read : 64);
    int64_t reads = (c.size + block - 1) / block;
    EXPECT_THAT(channel_line, HasSubstr(" reads=" + std::to_string(reads) + " ")) << c.size;
    EXPECT_THAT(channel_line, ContainsRegex(c.channel_pattern)) << c.size;
    // One delay per completion, on at most `concurrency` threads at once.
    EXPECT_GE(elapsed, c.delay * ((reads + c.concurrency - 1) / c.concurrency));
  }
  EXPECT_THAT(host_->violations(), IsEmpty());
}

// A client that goes away part-way lets the bytes before its offset arrive and none after it.
// The module's tests meet the other injected faults through this host on both paths.
TEST_F(DataChannelTest, AbortedDownloadDeliversNothingPastTheAbort) {
  MemorySink sink;
  TransferResult result =
      send(500, {.block_size = 16, .optimal_concurrency = 3, .abort_at_offset = 200}, sink);
  EXPECT_EQ(result.reply.text,
            "500 Injected abort of the client at offset 200: Connection reset by peer\r\n");
  EXPECT_LE(result.bytes_transferred, 200);
  EXPECT_LE(sink.contents().size(), 200u);
  EXPECT_THAT(host_->violations(), IsEmpty());
}

// Holds every write until the host has recorded a violation, so the module's early finish
// certainly happens while the write is outstanding.
struct HeldSink : MemorySink {
  explicit HeldSink(Host &host) : host(host) {}
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override {
    for (auto deadline = Clock::now() + std::chrono::seconds(10);
         host.violations().empty() && Clock::now() < deadline;)
      std::this_thread::sleep_for(milliseconds(1));
    return MemorySink::write_at(offset, data, length);
  }
  Host &host;
};

TEST_F(DataChannelTest, FinishWithWritesOutstandingIsRecordedAndWaitedFor) {
  HeldSink sink(*host_);
  TransferResult result = send(5, DataChannelOptions{}, sink, "/early");
  EXPECT_TRUE(result.reply.ok()) << result.reply.text;
  auto violations = host_->violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_THAT(violations[0], HasSubstr("finished_transfer with 1 registrations outstanding"));
  // The host waited for the write before it returned.
  EXPECT_EQ(sink.contents(), "early");
  EXPECT_EQ(result.bytes_transferred, 5);
  EXPECT_EQ(result.bytes_written, 5);
}

}  // namespace
}  // namespace vorlan::host

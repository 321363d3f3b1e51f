// Downloads and uploads through the host's data channel: bytes land at their offsets, the
// source is read once with one end of data, and injected faults reach the reply.
#include <vorlan/host.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "temp_dir.h"
#include "test_dsi/test_dsi_host.hpp"

namespace vorlan::host {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::load_test_dsi;
using ::testing::Not;
using testing::start_test_session;
using ::testing::StartsWith;

// The bytes the test module sends: byte i of the file is (i * 131 + 7) & 0xff.
std::string pattern(int64_t from, int64_t to) {
  std::string out;
  for (int64_t i = from; i < to; ++i) {
    out += static_cast<char>((i * 131 + 7) & 0xff);
  }
  return out;
}

// The test module's summary of an upload it found whole and in order.
std::string recv_line(int64_t size, std::optional<time_t> mtime = std::nullopt) {
  return "recv bytes=" + std::to_string(size) +
         " mtime=" + (mtime ? std::to_string(*mtime) : "none");
}

class DataChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = load_test_dsi();
    ASSERT_NE(host_, nullptr);
    session_ = start_test_session(*host_);
    ASSERT_NE(session_, nullptr);
  }
  TransferResult send(int64_t size, const DataChannelOptions &channel, MemorySink &sink) {
    TransferInfo info;
    info.pathname = "/send/" + std::to_string(size);
    return host_->send(*session_, info, channel, sink);
  }
  TransferResult recv(const std::string &data, const DataChannelOptions &channel) {
    MemorySource source(data);
    TransferInfo info;
    info.pathname = "/upload";
    info.alloc_size = static_cast<int64_t>(data.size());
    return host_->recv(*session_, info, channel, source);
  }
  std::string last_line(const std::string &start) {
    std::string line;
    for (const auto &l : host_->server_log()) {
      if (l.starts_with(start)) {
        line = l;
      }
    }
    return line;
  }
  std::unique_ptr<Host> host_;
  std::unique_ptr<Session> session_;
};

TEST_F(DataChannelTest, SendPutsEveryBlockAtItsOffset) {
  struct Case {
    std::string what;
    int64_t size;
    std::vector<std::pair<int64_t, int64_t>> ranges;
    size_t block;
    int concurrency, reverse_batch = 0;
  } cases[] = {
      {"whole file, reversed windows", 1000, {{0, -1}}, 64, 4},
      {"reversed windows, reversed completions", 1000, {{0, -1}}, 64, 4, 4},
      {"block larger than the file", 100, {{0, -1}}, 4096, 4},
      {"two ranges", 1000, {{100, 300}, {700, -1}}, 64, 3},
      {"empty file", 0, {{0, -1}}, 64, 2},
  };
  for (const auto &c : cases) {
    DataChannelOptions channel;
    channel.block_size = c.block;
    channel.optimal_concurrency = c.concurrency;
    channel.read_ranges = c.ranges;
    channel.reverse_completion_batch = c.reverse_batch;
    MemorySink sink;
    TransferResult result = send(c.size, channel, sink);
    ASSERT_TRUE(result.reply.ok()) << c.what << ": " << result.reply.text;
    EXPECT_TRUE(result.began) << c.what;
    std::string got = sink.contents();
    int64_t expected_bytes = 0;
    for (auto [offset, length] : c.ranges) {
      int64_t end = length < 0 ? c.size : offset + length;
      expected_bytes += end - offset;
      ASSERT_GE(static_cast<int64_t>(got.size()), end) << c.what;
      EXPECT_EQ(got.substr(offset, end - offset), pattern(offset, end)) << c.what;
    }
    EXPECT_EQ(result.bytes_transferred, expected_bytes) << c.what;
    EXPECT_LE(result.max_outstanding, c.concurrency) << c.what;
  }
  EXPECT_THAT(host_->violations(), IsEmpty());
}

// With reversed completions reads reach the module out of order, yet end of data still comes
// last (the module fails the upload otherwise).
TEST_F(DataChannelTest, RecvReadsTheSourceOnceWithOneEndOfData) {
  struct Case {
    int64_t size;
    int concurrency;
    std::optional<time_t> mtime;
    int reverse_batch = 0;
  } cases[] = {
      {0, 3, std::nullopt},    {1, 3, 1700000000},         {64, 3, std::nullopt},
      {1000, 3, std::nullopt}, {1000, 4, std::nullopt, 4},
  };
  for (const auto &c : cases) {
    std::string data = pattern(0, c.size);
    DataChannelOptions channel;
    channel.block_size = 64;
    channel.optimal_concurrency = c.concurrency;
    channel.modification_time = c.mtime;
    channel.reverse_completion_batch = c.reverse_batch;
    TransferResult result = recv(data, channel);
    ASSERT_TRUE(result.reply.ok()) << c.size << ": " << result.reply.text;
    EXPECT_EQ(last_line("recv "), recv_line(c.size, c.mtime)) << c.size;
    EXPECT_EQ(result.bytes_transferred, c.size);
    EXPECT_EQ(result.bytes_recvd, c.size);
    EXPECT_THAT(result.ranges_recvd, Contains(std::pair<int64_t, int64_t>(0, c.size)));
    EXPECT_LE(result.max_outstanding, c.concurrency + 1) << c.size;
    if (c.reverse_batch > 0) {
      EXPECT_THAT(last_line("channel "), Not(HasSubstr("inversions=0")));
    }
  }
  EXPECT_THAT(host_->violations(), IsEmpty());
}

TEST_F(DataChannelTest, InjectedFaultsReachTheReply) {
  struct Case {
    bool upload;
    int fail_registration_at, fail_completion_at;
    std::string message;
  } cases[] = {
      {false, 3, 0, "Injected failure of registration 3"},
      {false, 0, 5, "Injected failure of completion 5"},
      {true, 2, 0, "Injected failure of registration 2"},
      {true, 0, 4, "Injected failure of completion 4"},
  };
  for (const auto &c : cases) {
    DataChannelOptions channel;
    channel.block_size = 16;
    channel.optimal_concurrency = 2;
    channel.fail_registration_at = c.fail_registration_at;
    channel.fail_completion_at = c.fail_completion_at;
    MemorySink sink;
    TransferResult result = c.upload ? recv(pattern(0, 500), channel) : send(500, channel, sink);
    EXPECT_EQ(result.reply.text, "500 " + c.message + ": Input/output error\r\n");
  }
  EXPECT_THAT(host_->violations(), IsEmpty());
}

// A download into a file read back as an upload; the module sees the write range and the
// update interval it was given.
TEST_F(DataChannelTest, FileChannelWithWriteRangeAndUpdateInterval) {
  vorlan::test::TempDir dir;
  const std::string path = dir.path() + "/data";
  std::string error;
  std::unique_ptr<DataSink> sink = file_sink(path, &error);
  ASSERT_NE(sink, nullptr) << error;
  TransferInfo info;
  info.pathname = "/send/1000";
  DataChannelOptions channel;
  channel.block_size = 64;
  ASSERT_TRUE(host_->send(*session_, info, channel, *sink).reply.ok());
  sink.reset();

  std::unique_ptr<DataSource> source = file_source(path, &error);
  ASSERT_NE(source, nullptr) << error;
  channel.write_offset = 100;
  channel.write_length = 1000;
  channel.update_interval = 7;
  info.pathname = "/upload";
  TransferResult result = host_->recv(*session_, info, channel, *source);
  ASSERT_TRUE(result.reply.ok()) << result.reply.text;
  EXPECT_EQ(result.bytes_recvd, 1000);
  EXPECT_EQ(last_line("recv "), recv_line(1000));
  EXPECT_THAT(last_line("channel "), StartsWith("channel range=100+1000 interval=7 "));
  EXPECT_EQ(file_source(dir.path(), &error), nullptr);
  EXPECT_THAT(error, HasSubstr("not a regular file"));
  EXPECT_THAT(host_->violations(), IsEmpty());
}

// Holds every write until the host has recorded a violation, so the module's early finish
// certainly happens while the write is outstanding.
class HeldSink : public DataSink {
 public:
  explicit HeldSink(Host &host) : host_(host) {}
  bool write_at(int64_t offset, const vorlan_byte_t *data, size_t length) override {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host_.violations().empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return inner_.write_at(offset, data, length);
  }
  MemorySink inner_;

 private:
  Host &host_;
};

TEST_F(DataChannelTest, FinishWithWritesOutstandingIsRecordedAndWaitedFor) {
  HeldSink sink(*host_);
  TransferInfo info;
  info.pathname = "/early";
  TransferResult result = host_->send(*session_, info, DataChannelOptions{}, sink);
  EXPECT_TRUE(result.reply.ok()) << result.reply.text;
  auto violations = host_->violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_THAT(violations[0], HasSubstr("finished_transfer with 1 registrations outstanding"));
  // The host waited for the write before it returned.
  EXPECT_EQ(sink.inner_.contents(), "early");
  EXPECT_EQ(result.bytes_transferred, 5);
}

}  // namespace
}  // namespace vorlan::host

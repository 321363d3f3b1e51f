// Downloads and uploads through the host's data channel: bytes land at their offsets, the
// source is read once with one end of data, and injected faults reach the reply.
#include <vorlan/host.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "test_dsi/test_dsi_host.hpp"

namespace vorlan::host {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::load_test_dsi;
using testing::start_test_session;

// The bytes the test module sends: byte i of the file is (i * 131 + 7) & 0xff.
std::string pattern(int64_t from, int64_t to) {
  std::string out;
  for (int64_t i = from; i < to; ++i) {
    out += static_cast<char>((i * 131 + 7) & 0xff);
  }
  return out;
}

uint64_t fnv1a(const std::string &data) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : data) {
    hash = (hash ^ c) * 1099511628211ULL;
  }
  return hash;
}

class DataChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = load_test_dsi();
    ASSERT_NE(host_, nullptr);
    session_ = start_test_session(*host_);
    ASSERT_NE(session_, nullptr);
  }
  void TearDown() override {
    session_.reset();
    host_.reset();
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
  std::string last_recv_line() {
    std::string line;
    for (const auto &l : host_->server_log()) {
      if (l.starts_with("recv ")) {
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
    int concurrency;
  } cases[] = {
      {"whole file, reversed windows", 1000, {{0, -1}}, 64, 4},
      {"block larger than the file", 100, {{0, -1}}, 4096, 4},
      {"two ranges", 1000, {{100, 300}, {700, -1}}, 64, 3},
      {"empty file", 0, {{0, -1}}, 64, 2},
  };
  for (const auto &c : cases) {
    DataChannelOptions channel;
    channel.block_size = c.block;
    channel.optimal_concurrency = c.concurrency;
    channel.read_ranges = c.ranges;
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

TEST_F(DataChannelTest, RecvReadsTheSourceOnceWithOneEndOfData) {
  struct Case {
    int64_t size;
    size_t block;
    int concurrency;
    std::optional<time_t> mtime;
  } cases[] = {
      {0, 64, 3, std::nullopt},    {1, 64, 3, 1700000000}, {64, 64, 3, std::nullopt},
      {1000, 64, 3, std::nullopt}, {5000, 100, 4, 42},
  };
  for (const auto &c : cases) {
    std::string data = pattern(0, c.size);
    DataChannelOptions channel;
    channel.block_size = c.block;
    channel.optimal_concurrency = c.concurrency;
    channel.modification_time = c.mtime;
    TransferResult result = recv(data, channel);
    ASSERT_TRUE(result.reply.ok()) << c.size << ": " << result.reply.text;
    char expected[200];
    snprintf(expected, sizeof expected,
             "recv bytes=%lld eof=%d extra=empty-eof hash=%016llx mtime=%s",
             static_cast<long long>(c.size), c.size > 0 ? 1 : 0,
             static_cast<unsigned long long>(fnv1a(data)),
             c.mtime ? std::to_string(*c.mtime).c_str() : "none");
    EXPECT_EQ(last_recv_line(), expected) << c.size;
    EXPECT_EQ(result.bytes_transferred, c.size);
    EXPECT_EQ(result.bytes_recvd, c.size);
    EXPECT_THAT(result.ranges_recvd, Contains(std::pair<int64_t, int64_t>(0, c.size)));
    EXPECT_LE(result.max_outstanding, c.concurrency + 1) << c.size;
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
    EXPECT_FALSE(result.reply.ok()) << c.message;
    EXPECT_EQ(result.reply.code, 500) << c.message;
    EXPECT_THAT(result.reply.message, HasSubstr(c.message));
    EXPECT_EQ(result.reply.text, "500 " + c.message + ": Input/output error\r\n");
  }
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

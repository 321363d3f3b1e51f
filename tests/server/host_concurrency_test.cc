// Many requests at once on one session: each gets its own complete result and nothing is
// recorded as a breach.
#include <vorlan/host.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "test_dsi/test_dsi_host.hpp"

namespace vorlan::host {
namespace {

using ::testing::IsEmpty;

TEST(HostConcurrency, ManyRequestsOnOneSession) {
  auto host = testing::load_test_dsi();
  ASSERT_NE(host, nullptr);
  std::atomic<int> renewals{0};
  auto provider = [&renewals](const std::string &key) -> std::optional<std::string> {
    if (key == "renew-creds") return "token-" + std::to_string(++renewals);
    return std::nullopt;
  };
  auto session = testing::start_test_session(*host, "alice", {.provider = provider});
  ASSERT_NE(session, nullptr);

  constexpr int kThreads = 6, kRounds = 12;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        std::string path = "/t" + std::to_string(t) + "/" + std::to_string(r);
        CommandResult command = host->command(*session, VORLAN_GFS_CMD_MKD, path);
        if (!command.reply.ok() || command.response != "1 " + path) ++failures;
        StatResult stat = host->stat(*session, "/batches/2/" + std::to_string(r + 1), false);
        if (!stat.reply.ok() || stat.stats.size() != static_cast<size_t>(2 * (r + 1) + 1)) {
          ++failures;
        }
        CommandResult token = host->command(*session, VORLAN_GFS_CMD_MKD, "/config/renew-creds");
        if (!token.response || !token.response->starts_with("token-")) ++failures;
        if (r % 4 == 0) {
          // The slow, short and held completions run on the channel's threads too.
          const DataChannelOptions channel{.block_size = 32,
                                           .optimal_concurrency = 3,
                                           .completion_delay = std::chrono::milliseconds(1),
                                           .short_read_length = 20,
                                           .hold_read_at = 100};
          MemorySink sink;
          TransferResult send = host->send(*session, {.pathname = "/send/700"}, channel, sink);
          MemorySource source(sink.contents());
          TransferResult recv = host->recv(*session, {.pathname = "/upload"}, channel, source);
          if (!send.reply.ok() || sink.contents().size() != 700 || !recv.reply.ok() ||
              send.bytes_written != 700 || recv.bytes_recvd != 700) {
            ++failures;
          }
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(renewals.load(), kThreads * kRounds);
  EXPECT_THAT(host->violations(), IsEmpty());
}

}  // namespace
}  // namespace vorlan::host

// Many sessions at once: 32 threads run requests of every kind through the shared connection
// cache while other threads start and end library use, as session starts and ends do.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fake_s3_server.h"
#include "s3_sync_calls.h"
#include "vorlan/s3.h"

namespace vorlan::test {
namespace {

constexpr int kThreads = 32;
constexpr int kRounds = 6;

std::string body_for(int thread, int round) {
  std::string body(20000 + thread * 97 + round, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(thread * 31 + round + i);
  return body;
}

// Signed, so that every request's signature is checked too.
TEST(ParallelRequests, ThirtyTwoSessionsAtOnce) {
  // Idle connections stay open for the whole test: an upload on a connection the server has
  // just closed fails (retryably), which is not what this test is about.
  const FakeS3Server::Options options{.auth = FakeS3Server::Auth::kSigV4, .keep_alive_seconds = 30};
  FakeS3Server server(options);
  server.create_bucket("shared");
  ASSERT_EQ(S3_initialize("vorlan-tests", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr), S3StatusOK);

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  // Session starts and ends elsewhere in the process while requests run.
  std::vector<std::thread> churn;
  for (int i = 0; i < 2; ++i) {
    churn.emplace_back([&] {
      for (int n = 0; n < 2000 && !done.load(); ++n) {
        if (S3_initialize("vorlan-churn", S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr) !=
            S3StatusOK) {
          failures.fetch_add(1);
          return;
        }
        S3_deinitialize();
      }
    });
  }

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      S3Target target{.host = server.host(),
                      .bucket = "shared",
                      .access_key_id = options.access_key_id,
                      .secret_access_key = options.secret_access_key};
      // Each request must end in `status` and show `ok`.
      auto expect = [&](const S3CallResult &result, const char *what, bool ok = true,
                        S3Status status = S3StatusOK) {
        if (ok && result.status == status) return;
        failures.fetch_add(1);
        ADD_FAILURE() << "thread " << t << ": " << what << ": " << S3_get_status_name(result.status)
                      << " " << result.message;
      };
      for (int round = 0; round < kRounds; ++round) {
        const std::string key = "t" + std::to_string(t) + "/r " + std::to_string(round);
        const std::string body = body_for(t, round), copy = key + " copy";
        expect(s3_put(target, key.c_str(), body), "put");
        S3CallResult r = s3_get(target, key.c_str());
        expect(r, "get", r.data == body);
        r = s3_head(target, key.c_str());
        expect(r, "head", r.content_length == body.size());
        r = s3_get(target, key.c_str(), {.start = 100, .count = 50});
        expect(r, "range", r.data == body.substr(100, 50));
        r = s3_list(target, ("t" + std::to_string(t) + "/").c_str(), nullptr, nullptr, 0);
        expect(r, "list", r.keys.size() == 1);
        expect(s3_copy(target, key.c_str(), nullptr, copy.c_str()), "copy");
        expect(s3_delete(target, copy.c_str()), "delete copy");
        expect(s3_delete(target, key.c_str()), "delete");
        expect(s3_get(target, key.c_str()), "gone", true, S3StatusErrorNoSuchKey);
      }
    });
  }
  for (auto &worker : workers) worker.join();
  done = true;
  for (auto &thread : churn) thread.join();
  S3_deinitialize();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(server.count("PUT"), static_cast<size_t>(kThreads * kRounds * 2));
  // Connections are shared: far fewer than one per request.
  EXPECT_LT(server.connection_count(), server.request_count() / 2);
}

}  // namespace
}  // namespace vorlan::test

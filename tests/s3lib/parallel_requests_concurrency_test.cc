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
  FakeS3Server::Options options;
  options.auth = FakeS3Server::Auth::kSigV4;
  // Idle connections stay open for the whole test: an upload on a connection the server has
  // just closed fails (retryably), which is not what this test is about.
  options.keep_alive_seconds = 30;
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
      auto expect = [&](const S3CallResult &result, bool ok, const char *what) {
        if (!ok) {
          failures.fetch_add(1);
          ADD_FAILURE() << "thread " << t << ": " << what << ": "
                        << S3_get_status_name(result.status) << " " << result.message;
        }
      };
      for (int round = 0; round < kRounds; ++round) {
        std::string key = "t" + std::to_string(t) + "/r " + std::to_string(round);
        std::string body = body_for(t, round);
        S3CallResult r = s3_put(target, key.c_str(), body);
        expect(r, r.status == S3StatusOK, "put");
        r = s3_get(target, key.c_str());
        expect(r, r.status == S3StatusOK && r.data == body, "get");
        r = s3_head(target, key.c_str());
        expect(r, r.status == S3StatusOK && r.content_length == body.size(), "head");
        r = s3_get(target, key.c_str(), {.start = 100, .count = 50});
        expect(r, r.status == S3StatusOK && r.data == body.substr(100, 50), "range");
        std::string prefix = "t" + std::to_string(t) + "/";
        r = s3_list(target, prefix.c_str(), nullptr, nullptr, 0);
        expect(r, r.status == S3StatusOK && r.keys.size() == 1, "list");
        std::string copy = key + " copy";
        r = s3_copy(target, key.c_str(), nullptr, copy.c_str());
        expect(r, r.status == S3StatusOK, "copy");
        r = s3_delete(target, copy.c_str());
        expect(r, r.status == S3StatusOK, "delete copy");
        r = s3_delete(target, key.c_str());
        expect(r, r.status == S3StatusOK, "delete");
        r = s3_get(target, key.c_str());
        expect(r, r.status == S3StatusErrorNoSuchKey, "gone");
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

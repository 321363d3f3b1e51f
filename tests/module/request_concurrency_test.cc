// Requests running beside each other and beside the module's own life. 32 requests at once on
// one session while its token keeps being renewed: each request runs through the framework
// (record, bucket context, detached worker, attempt loop) and sends its own copy of the token,
// so no request ever reads a token a renewal has freed, and each asks for the renewal through
// its own operation. Session starts beside region lookups of several buckets at once, sessions of
// different regions interleaving, and unloading while a worker still runs.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "module_test_hooks.h"

namespace {

thread_local void *started_session = nullptr;
// The operation whose bucket context this thread is building, or whose attempts it makes.
thread_local vorlan_gfs_operation_t building_op = nullptr;
std::atomic<int> renewals{0};
std::atomic<int> renewals_through_another_op{0};

}  // namespace

// The host's side of session start, for the starts below: the handle is kept.
extern "C" void vorlan_gridftp_server_finished_session_start(vorlan_gfs_operation_t,
                                                             vorlan_result_t result, void *session,
                                                             const char *, const char *) {
  vorlan_error_release(result);
  started_session = session;
}

// The host's documents: no "config" or "collection-policies", and the same token text every
// time, in a new allocation: the fake accepts it, and a request still pointing at a freed copy
// would be caught by the address checker.
extern "C" void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t op, const char *key,
                                                      char **string) {
  if (std::strcmp(key, "creds") != 0 && std::strcmp(key, "renew-creds") != 0) {
    *string = nullptr;
    return;
  }
  ++renewals;
  if (op != building_op) ++renewals_through_another_op;
  *string = strdup(
      R"({"access_token": "fake-token", "sub": "s", "token_expiry": "2023-11-14T22:20:00.0+00:00"})");
}

namespace {

using vorlan::test::FakeS3Fault;
using vorlan::test::FakeS3Server;
using vorlan::test::make_handle;

constexpr int kThreads = 32;
constexpr int kRequestsPerThread = 8;

// Every read of the clock moves it on by 200 seconds, so almost every bucket context finds the
// token due and renews it.
std::atomic<time_t> fake_now{1700000000};
time_t moving_clock() { return fake_now.fetch_add(200); }

struct Done {
  std::mutex lock;
  std::condition_variable changed;
  int finished = 0, failed = 0;
};

struct probe_state {
  vorlan_i_s3_request_t request;
  Done *done;
};

S3Status probe_properties(const S3ResponseProperties *, void *) { return S3StatusOK; }
void probe_complete(S3Status status, const S3ErrorDetails *details, void *data) {
  auto *state = static_cast<probe_state *>(data);
  vorlan_i_s3_request_complete(&state->request, status, details, nullptr);
}

void *probe_thread(void *arg) {
  auto *state = static_cast<probe_state *>(arg);
  building_op = state->request.op;  // each attempt may renew the token
  const S3ResponseHandler handler = {probe_properties, probe_complete};
  vorlan_i_s3_request_retry(__func__, &state->request, "S3_head_object", [&] {
    S3_head_object(&state->request.bucket_context, state->request.key, nullptr, 0, &handler, state);
  });
  Done *done = state->done;
  const bool ok = state->request.result == VORLAN_SUCCESS;
  vorlan_i_s3_request_free(state);
  std::lock_guard<std::mutex> guard(done->lock);
  ++done->finished;
  if (!ok) ++done->failed;
  done->changed.notify_all();
  return nullptr;
}

// The entry point of the probe request, as a command's entry point would be written.
vorlan_result_t probe_entry(vorlan_i_s3_handle_t *handle, const char *path, Done *done,
                            vorlan_gfs_operation_t op = nullptr) {
  auto *state = vorlan_i_s3_request_new<probe_state>(op, handle, path, "probe");
  if (state == nullptr) return VORLAN_FAILURE;
  state->done = done;
  building_op = op;
  vorlan_result_t result = vorlan_i_s3_request_prepare(&state->request, true);
  building_op = nullptr;
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_request_start(probe_thread, state);
  if (result != VORLAN_SUCCESS) vorlan_i_s3_request_free(state);
  return result;
}

// Each test starts with the S3 library initialised and leaves the module's settings as they were.
class RequestConcurrency : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK); }
  void TearDown() override {
    vorlan_i_s3_region_cache_clear();
    vorlan_i_s3_gcloud_bucket_location = nullptr;
    vorlan_i_s3_config_reset();
    S3_deinitialize();
  }
};

TEST_F(RequestConcurrency, RequestsKeepTheirTokenWhileItIsRenewed) {
  FakeS3Server server({.auth = FakeS3Server::Auth::kBearer, .bearer_token = "fake-token"});
  server.create_bucket("b");
  server.put_object("b", "obj", "data");
  vorlan::test::ScopedEnv env;
  env->gcloud_clock = moving_clock;

  vorlan::test::HandlePtr handle = make_handle(server.host());
  handle->refresh_credentials = vorlan_i_gcloud_token_refresh;

  Done done;
  std::atomic<int> refused{0};
  std::vector<std::thread> entries;
  for (int t = 0; t < kThreads; ++t) {
    entries.emplace_back([&, t] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        const uintptr_t op_id = 1 + t * kRequestsPerThread + i;
        vorlan_result_t result = probe_entry(handle.get(), "/b/obj", &done,
                                             reinterpret_cast<vorlan_gfs_operation_t>(op_id));
        refused += result != VORLAN_SUCCESS;
        vorlan_error_release(result);
      }
    });
  }
  for (std::thread &entry : entries) entry.join();
  {
    std::unique_lock<std::mutex> lock(done.lock);
    const int expected = kThreads * kRequestsPerThread - refused.load();
    ASSERT_TRUE(done.changed.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return done.finished == expected; }))
        << done.finished << " of " << expected << " requests finished";
  }
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(done.failed, 0);
  EXPECT_GT(renewals.load(), kThreads);
  EXPECT_EQ(renewals_through_another_op.load(), 0);
  EXPECT_EQ(server.count("HEAD"), static_cast<size_t>(kThreads * kRequestsPerThread));
}

// Deactivation waits for a worker held up by the server, so no worker runs once the module is
// gone; a worker held up beyond the wait is reported at ERROR. No worker, idle or late, outlives
// the waits.
TEST_F(RequestConcurrency, DeactivationWaitsForRunningWorkers) {
  FakeS3Server server;
  server.create_bucket("b");
  server.put_object("b", "obj", "data");
  vorlan::test::HandlePtr handle = make_handle(server.host());
  vorlan::test::ScopedEnv env;
  Done warm;  // the fake starts its threads to serve its first request
  ASSERT_EQ(probe_entry(handle.get(), "/b/obj", &warm), VORLAN_SUCCESS);
  ASSERT_EQ(vorlan_i_s3_workers_wait(10000), 0);
  const size_t threads = vorlan::test::thread_count();
  struct Case {
    int64_t wait_ms;
    int delay_ms;
    const char *log;  // "": the worker finished within the wait
  } cases[] = {
      {5000, 300, ""},
      {50, 1000,
       "s3: ERROR: vorlan_l_s3_base_deactivate: 1 worker threads still running after 50 ms\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.wait_ms);
    env->unload_wait_ms = c.wait_ms;
    server.add_fault(FakeS3Fault::delay_by(std::chrono::milliseconds(c.delay_ms)).on("HEAD"));
    ASSERT_EQ(vorlan_module_activate(&vorlan_i_s3_base_module), VORLAN_SUCCESS);
    vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_ERROR);
    Done done;
    ASSERT_EQ(probe_entry(handle.get(), "/b/obj", &done), VORLAN_SUCCESS);
    EXPECT_EQ(vorlan_module_deactivate(&vorlan_i_s3_base_module), VORLAN_SUCCESS);
    {
      std::lock_guard<std::mutex> guard(done.lock);
      EXPECT_EQ(done.finished == 1, *c.log == '\0');
    }
    EXPECT_EQ(log.take(), c.log);
    EXPECT_EQ(vorlan_i_s3_workers_wait(10000), 0);
    EXPECT_EQ(vorlan::test::thread_count(), threads);
    EXPECT_EQ(done.failed, 0);
  }
}

void ignore_complete(S3Status, const S3ErrorDetails *, void *) {}

// Sessions started under different locations, and one under none, interleave their requests:
// each signs for the region it started with, the configured default standing in for none.
TEST_F(RequestConcurrency, EachSessionSignsForTheRegionItStartedWith) {
  FakeS3Server server;
  vorlan_i_s3_default_hostname = strdup(server.host().c_str());
  vorlan_i_s3_default_region = strdup("europe-west4");
  vorlan_i_s3_https = false;
  char eu[] = "EU", us[] = "US";
  const std::vector<std::pair<char *, std::string>> cases = {
      {eu, "EU"}, {nullptr, "europe-west4"}, {us, "US"}};
  std::vector<vorlan::test::HandlePtr> sessions;
  for (const auto &[location, region] : cases) {
    vorlan_i_s3_gcloud_bucket_location = location;
    vorlan_gfs_session_info_t info{};
    vorlan_i_gcloud_start(nullptr, &info);
    ASSERT_NE(started_session, nullptr);
    sessions.emplace_back(static_cast<vorlan_i_s3_handle_t *>(started_session));
    // Signed, so the credential scope names the region.
    sessions.back()->secret_key = strdup("fake-secret");
    sessions.back()->default_key_pair.secret_key = sessions.back()->secret_key;
  }
  const S3ResponseHandler handler = {probe_properties, ignore_complete};
  for (int round = 0; round < 2; ++round) {
    for (vorlan::test::HandlePtr &session : sessions) {
      S3BucketContext context{};
      ASSERT_EQ(vorlan_i_s3_bucket_context(session.get(), nullptr, "/b/k", "b", &context),
                VORLAN_SUCCESS);
      S3_head_object(&context, "k", nullptr, 0, &handler, nullptr);
      vorlan_i_s3_bucket_context_release(&context);
    }
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2 * cases.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    const std::string scope = "/" + cases[i % cases.size()].second + "/s3/aws4_request";
    EXPECT_NE(requests[i].header("authorization").find(scope), std::string::npos)
        << "request " << i << ": " << requests[i].header("authorization");
  }
  EXPECT_STREQ(vorlan_i_s3_default_region, "europe-west4");
}

TEST_F(RequestConcurrency, SessionStartsAndRegionLookupsRunAlongsideEachOther) {
  FakeS3Server server;
  const std::vector<std::string> regions = {"eu-west-1", "ap-south-1", "us-west-2", "sa-east-1"};
  for (size_t b = 0; b < regions.size(); ++b)
    server.create_bucket("r" + std::to_string(b), regions[b]);
  const std::string lookup_host = server.host();
  vorlan::test::ScopedEnv env;
  env->region_lookup_host = lookup_host.c_str();
  vorlan_i_s3_default_hostname = strdup("storage.googleapis.com");
  char eu[] = "EU";
  vorlan_i_s3_gcloud_bucket_location = eu;

  vorlan::test::HandlePtr aws = make_handle("s3.amazonaws.com");
  aws->region = strdup("us-east-1");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 16; ++i) {
        if (t <= 2) {
          vorlan_gfs_session_info_t info{};
          vorlan_i_gcloud_start(nullptr, &info);
          auto *handle = static_cast<vorlan_i_s3_handle_t *>(started_session);
          wrong += handle == nullptr || std::strcmp(vorlan_i_s3_str(handle->region), "EU") != 0;
          vorlan_i_s3_destroy(handle);
        } else {
          const size_t b = (t + i) % regions.size();
          const std::string bucket = "r" + std::to_string(b), path = "/" + bucket + "/k";
          S3BucketContext context{};
          wrong += vorlan_i_s3_bucket_context(aws.get(), nullptr, path.c_str(), bucket.c_str(),
                                              &context) != VORLAN_SUCCESS ||
                   regions[b] != vorlan_i_s3_str(context.authRegion);
          vorlan_i_s3_bucket_context_release(&context);
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

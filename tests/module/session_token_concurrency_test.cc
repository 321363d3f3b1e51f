// 32 requests at once on one session while its token keeps being renewed: each request runs
// through the framework (record, bucket context, detached worker, attempt loop) and sends its
// own copy of the token, so no request ever reads a token a renewal has freed.
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
#include "vorlan_i_s3.h"

namespace {

using vorlan::test::FakeS3Server;

constexpr int kThreads = 32;
constexpr int kRequestsPerThread = 8;

// Every read of the clock moves it on by 200 seconds, so almost every bucket context finds the
// token due and renews it.
std::atomic<time_t> fake_now{1700000000};
time_t moving_clock() { return fake_now.fetch_add(200); }

std::atomic<int> renewals{0};
void token_documents(vorlan_gfs_operation_t, const char *key, char **string) {
  if (std::strcmp(key, "creds") != 0 && std::strcmp(key, "renew-creds") != 0) {
    *string = nullptr;
    return;
  }
  ++renewals;
  // The same token text every time, in a new allocation: the fake accepts it, and a request
  // still pointing at a freed copy would be caught by the address checker.
  *string = strdup(
      R"({"access_token": "fake-token", "sub": "s", "token_expiry": "2023-11-14T22:20:00.0+00:00"})");
}

struct Done {
  std::mutex lock;
  std::condition_variable changed;
  int finished = 0;
  int failed = 0;
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
  const S3ResponseHandler handler = {probe_properties, probe_complete};
  vorlan_i_s3_request_retry(__func__, &state->request, "S3_head_object", [&] {
    S3_head_object(&state->request.bucket_context, state->request.key, nullptr, 0, &handler, state);
  });
  Done *done = state->done;
  const bool ok = state->request.result == VORLAN_SUCCESS;
  vorlan_error_release(state->request.result);
  vorlan_i_s3_request_free(state);
  std::lock_guard<std::mutex> guard(done->lock);
  ++done->finished;
  if (!ok) ++done->failed;
  done->changed.notify_all();
  return nullptr;
}

// The entry point of the probe request, as a command's entry point would be written.
vorlan_result_t probe_entry(vorlan_i_s3_handle_t *handle, const char *path, Done *done) {
  auto *state = vorlan_i_s3_request_new<probe_state>(nullptr, handle, path, "probe");
  if (state == nullptr) return VORLAN_FAILURE;
  state->done = done;
  vorlan_result_t result = vorlan_i_s3_request_prepare(&state->request, true);
  if (result == VORLAN_SUCCESS) result = vorlan_i_s3_request_start(probe_thread, state);
  if (result != VORLAN_SUCCESS) vorlan_i_s3_request_free(state);
  return result;
}

TEST(SessionTokenConcurrency, RequestsKeepTheirTokenWhileItIsRenewed) {
  FakeS3Server::Options options;
  options.auth = FakeS3Server::Auth::kBearer;
  options.bearer_token = "fake-token";
  FakeS3Server server(options);
  server.create_bucket("b");
  server.put_object("b", "obj", "data");

  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
  auto saved_clock = vorlan_i_gcloud_clock;
  auto saved_get = vorlan_i_gcloud_get_config_data;
  vorlan_i_gcloud_clock = moving_clock;
  vorlan_i_gcloud_get_config_data = token_documents;

  auto *handle = new vorlan_i_s3_handle_t;
  handle->host_name = strdup(server.host().c_str());
  handle->protocol = S3ProtocolHTTP;
  handle->uri_style = S3UriStylePath;
  handle->refresh_credentials = vorlan_i_gcloud_token_refresh;

  Done done;
  std::atomic<int> refused{0};
  std::vector<std::thread> entries;
  for (int t = 0; t < kThreads; ++t) {
    entries.emplace_back([&] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        vorlan_result_t result = probe_entry(handle, "/b/obj", &done);
        if (result != VORLAN_SUCCESS) {
          ++refused;
          vorlan_error_release(result);
        }
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
  EXPECT_EQ(server.count("HEAD"), static_cast<size_t>(kThreads * kRequestsPerThread));

  vorlan_i_s3_destroy(handle);
  vorlan_i_gcloud_clock = saved_clock;
  vorlan_i_gcloud_get_config_data = saved_get;
  S3_deinitialize();
}

TEST(SessionTokenConcurrency, RequestsWithoutAnObjectAreRefusedBeforeAnyRequest) {
  FakeS3Server server;
  auto *handle = new vorlan_i_s3_handle_t;
  handle->host_name = strdup(server.host().c_str());
  handle->protocol = S3ProtocolHTTP;
  Done done;
  for (const char *path : {"/b", "/b/"}) {
    vorlan_result_t result = probe_entry(handle, path, &done);
    ASSERT_NE(result, VORLAN_SUCCESS) << path;
    char *text = vorlan_error_print_friendly(vorlan_error_peek(result));
    EXPECT_EQ(std::string(text).rfind("System error in probe: ", 0), 0u) << text;
    std::free(text);
    vorlan_error_release(result);
  }
  EXPECT_EQ(server.request_count(), 0u);
  vorlan_i_s3_destroy(handle);
}

}  // namespace

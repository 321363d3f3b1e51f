// Session start and destroy seen from the calls the module makes: the host's completion and
// documents, and the S3 library's initialisation. This program provides those calls itself
// (they take precedence over the shared libraries' definitions), so it can check what a
// server cannot see: the handle's fields, the library flags and the initialisation count.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_test_hooks.h"

namespace {

std::map<std::string, std::string> documents;
struct Finished {
  vorlan_result_t result = VORLAN_SUCCESS;
  void *session = nullptr;
  std::string username, home_dir;
  int calls = 0;
};
Finished finished;
std::vector<int> init_flags;
S3Status init_status = S3StatusOK;
int library_count = 0;  // goes below zero when a session ends an initialisation that failed

}  // namespace

extern "C" void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t, const char *key,
                                                      char **string) {
  auto found = documents.find(key);
  *string = found != documents.end() ? strdup(found->second.c_str()) : nullptr;
}

extern "C" void vorlan_gridftp_server_finished_session_start(vorlan_gfs_operation_t,
                                                             vorlan_result_t result, void *session,
                                                             const char *username,
                                                             const char *home_dir) {
  finished.result = result;
  finished.session = session;
  finished.username = username ? username : "<null>";
  finished.home_dir = home_dir ? home_dir : "<null>";
  ++finished.calls;
}

extern "C" S3Status S3_initialize(const char *, int flags, const char *) {
  init_flags.push_back(flags);
  if (init_status == S3StatusOK) ++library_count;
  return init_status;
}

extern "C" void S3_deinitialize(void) { --library_count; }

namespace {

const char *const kToken =
    R"({"access_token": "tok", "sub": "alice", "token_expiry": "2099-01-01T00:00:00.5+00:00"})";

class SessionHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    documents.clear();
    finished = Finished{};
    init_flags.clear();
    init_status = S3StatusOK;
    library_count = 0;
    vorlan_i_s3_default_hostname = strdup("storage.googleapis.com");
  }
  void TearDown() override {
    std::free(vorlan_i_s3_default_hostname);
    vorlan_i_s3_default_hostname = nullptr;
    vorlan_i_s3_set_default_region(nullptr);
    vorlan_i_s3_https = true;
    vorlan_i_s3_verify_peer = true;
    vorlan_i_s3_use_virtual_host = false;
    vorlan_i_s3_gcloud_bucket_location = nullptr;
  }
  vorlan_i_s3_handle_t *start(const char *user = "alice") {
    vorlan_gfs_session_info_t info{};
    std::string name = user;
    info.username = name.data();
    vorlan_i_gcloud_start(nullptr, &info);
    EXPECT_EQ(finished.calls, 1);
    finished.calls = 0;
    return static_cast<vorlan_i_s3_handle_t *>(finished.session);
  }
};

TEST_F(SessionHandle, SettingsChooseProtocolStyleAndLibraryFlags) {
  struct Case {
    bool https, verify_peer, virtual_host;
    uint32_t protocol, uri_style;
    int flags;
  };
  const std::vector<Case> cases = {
      {true, true, false, S3ProtocolHTTPS, S3UriStylePath, 7},
      {true, false, false, S3ProtocolHTTPS, S3UriStylePath, 5},
      {false, true, true, S3ProtocolHTTP, S3UriStyleVirtualHost, 5},
  };
  for (const Case &c : cases) {
    vorlan_i_s3_https = c.https;
    vorlan_i_s3_verify_peer = c.verify_peer;
    vorlan_i_s3_use_virtual_host = c.virtual_host;
    init_flags.clear();
    vorlan_i_s3_handle_t *handle = start();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->protocol, c.protocol);
    EXPECT_EQ(handle->uri_style, c.uri_style);
    EXPECT_EQ(init_flags, std::vector<int>{c.flags});
    EXPECT_EQ(finished.username, "alice");
    EXPECT_EQ(finished.home_dir, "/");
    vorlan_i_s3_destroy(handle);
  }
  EXPECT_EQ(library_count, 0) << "every session's initialisation is matched when it ends";
}

TEST_F(SessionHandle, HoldsItsDocumentsAndAnOwnedRegion) {
  documents["config"] = R"({"buckets": ["a"]})";
  documents["collection-policies"] = R"({"project": "p-1"})";
  documents["creds"] = kToken;
  char eu[] = "EU", us[] = "US";
  vorlan_i_s3_gcloud_bucket_location = eu;
  vorlan_i_s3_handle_t *first = start();
  ASSERT_NE(first, nullptr);
  vorlan_i_s3_gcloud_bucket_location = us;
  vorlan_i_s3_handle_t *second = start();
  ASSERT_NE(second, nullptr);
  // The second start replaced the process-wide default region; the first keeps its own.
  EXPECT_STREQ(first->region, "EU");
  EXPECT_STREQ(second->region, "US");
  EXPECT_STREQ(first->allowed_buckets[0], "a");
  EXPECT_EQ(first->allowed_buckets[1], nullptr);
  EXPECT_STREQ(first->default_key_pair.key_id, "p-1");
  EXPECT_STREQ(first->access_token, "tok");
  EXPECT_EQ(first->security_token, first->access_token);
  EXPECT_STREQ(first->token_subject, "alice");
  EXPECT_EQ(first->token_expiry, 4070908800);

  // No documents at all: no restriction, no key id, no token. An AWS host signs for its own
  // region, not the default.
  documents.clear();
  std::free(vorlan_i_s3_default_hostname);
  vorlan_i_s3_default_hostname = strdup("s3.amazonaws.com");
  vorlan_i_s3_handle_t *bare = start();
  ASSERT_NE(bare, nullptr);
  EXPECT_STREQ(bare->region, "us-east-1");
  EXPECT_EQ(bare->allowed_buckets, nullptr);
  EXPECT_EQ(bare->key_id, nullptr);
  EXPECT_EQ(bare->access_token, nullptr);
  EXPECT_EQ(bare->security_token, nullptr);
  vorlan_i_s3_destroy(bare);
  vorlan_i_s3_destroy(first);
  vorlan_i_s3_destroy(second);
  vorlan_i_s3_destroy(nullptr);
  EXPECT_EQ(library_count, 0);
}

TEST_F(SessionHandle, FailedStartsReportUserErrorAndKeepTheLibraryBalanced) {
  const std::vector<std::map<std::string, std::string>> failing = {
      {{"config", "{"}},
      {{"collection-policies", R"({"project": false})"}},
      {{"config", R"({"buckets": ["a"]})"},
       {"collection-policies", R"({"project": "p"})"},
       {"creds", R"({"access_token": "t"})"}},
  };
  for (const auto &set : failing) {
    documents = set;
    EXPECT_EQ(start(), nullptr);
    EXPECT_NE(finished.result, VORLAN_SUCCESS);
    EXPECT_EQ(finished.username, "ERROR");
    EXPECT_EQ(finished.home_dir, "/");
    EXPECT_EQ(library_count, 0);
    vorlan_error_release(finished.result);
  }

  // The library refuses to initialise: named as "initialization", logged, never deinitialised.
  documents.clear();
  init_status = S3StatusInternalError;
  vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_ERROR);
  EXPECT_EQ(start(), nullptr);
  EXPECT_EQ(finished.username, "ERROR");
  EXPECT_EQ(library_count, 0);
  EXPECT_NE(vorlan::test::error_text(finished.result).find("\"initialization\""),
            std::string::npos);
  EXPECT_TRUE(
      log.take().starts_with("s3: ERROR: vorlan_i_s3_base_initialize: S3_initialize returns: " +
                             std::to_string(S3StatusInternalError)));
  vorlan_error_release(finished.result);
}

}  // namespace

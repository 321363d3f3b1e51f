// A session's start and its documents ("config", "collection-policies", the access token with its
// expiry text and its renewal). This program provides the host's calls and the S3 library's
// initialisation itself, so it sees what a server cannot: the handle's fields and the
// initialisation count.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_session.h"
#include "module_test_hooks.h"

namespace {

std::map<std::string, std::string> documents;
std::vector<std::string> asked;  // the keys of the documents asked for, in order
struct Finished {
  vorlan_result_t result = VORLAN_SUCCESS;
  void *session = nullptr;
  std::string username, home_dir;
  int calls = 0;
};
Finished finished;
S3Status init_status = S3StatusOK;
int library_count = 0;  // goes below zero when a session ends an initialisation that failed

}  // namespace

extern "C" void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t, const char *key,
                                                      char **string) {
  asked.emplace_back(key);
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

extern "C" S3Status S3_initialize(const char *, int, const char *) {
  if (init_status == S3StatusOK) ++library_count;
  return init_status;
}

extern "C" void S3_deinitialize(void) { --library_count; }

namespace {

using vorlan::test::error_text;
using vorlan::test::token_document;

TEST(TokenExpiry, ConvertsOffsetsToUtcAndRefusesOtherForms) {
  // 2024-03-01T10:00:00Z
  constexpr time_t ten_utc = 1709287200;
  struct Case {
    const char *text;
    time_t expected;  // 0: refused
  };
  const std::vector<Case> cases = {
      {"2024-03-01T10:00:00.1+02:00", ten_utc - 2 * 3600},
      {"2024-03-01T10:00:00.123456+02:00", ten_utc - 2 * 3600},
      {"2024-03-01T10:00:00.0-05:30", ten_utc + 5 * 3600 + 30 * 60},
      // The sign belongs to the minutes too, also when the hours are zero.
      {"2024-03-01T10:00:00.0-00:30", ten_utc + 30 * 60},
      {"2024-03-01T10:00:00.0+00:30", ten_utc - 30 * 60},
      {"2024-03-01T10:00:00.0\t-00:30", ten_utc + 30 * 60},
      // Crossing midnight and a month end through the offset.
      {"2024-03-01T01:00:00.5+02:00", ten_utc - 11 * 3600},
      // A missing fraction, one of any length, and "Z" for UTC.
      {"2024-03-01T10:00:00Z", ten_utc},
      {"2024-03-01T10:00:00.123456789z", ten_utc},
      {"2024-03-01T10:00:00+02:00", ten_utc - 2 * 3600},
      {"2024-03-01T10:00:00", 0},
      {"2024-03-01T10:00:00.Z", 0},
      {"-6-12-07T09:30:00.0+01:00", 0},
      {"2024-13-01T10:00:00.0+00:00", 0},
      {"2024-03-01T10:60:00.0+00:00", 0},
      {"2024-03-01T10:00:00.0+02:75", 0},
      {"", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    time_t converted = 0;
    vorlan_result_t result = vorlan_i_gcloud_parse_date(c.text, &converted);
    EXPECT_EQ(error_text(result),
              c.expected ? "" : std::string("Error parsing time string: ") + c.text + "\n");
    EXPECT_EQ(result == VORLAN_SUCCESS, c.expected != 0);
    EXPECT_EQ(c.expected ? converted : 0, c.expected);
    vorlan_error_release(result);
  }
}

// The clock, as the token reader sees it.
time_t fake_now = 1700000000;
time_t fake_clock() { return fake_now; }

class TokenRenewal : public ::testing::Test {
 protected:
  void SetUp() override {
    env_->gcloud_clock = fake_clock;
    documents.clear();
    asked.clear();
  }
  void TearDown() override {
    for (char *owned :
         {handle_.access_token, handle_.token_subject, handle_.key_id, handle_.secret_key})
      std::free(owned);
  }
  vorlan_result_t refresh() { return vorlan_i_gcloud_token_refresh(&handle_, nullptr); }
  std::string token() const { return handle_.access_token ? handle_.access_token : "<none>"; }

  vorlan_i_s3_handle_t handle_;

 private:
  vorlan::test::ScopedEnv env_;
};

TEST_F(TokenRenewal, RenewsWhenFewerThan300SecondsRemain) {
  documents["creds"] = token_document("first", fake_now + 300);
  documents["renew-creds"] = token_document("second", fake_now + 3600);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "first");
  EXPECT_STREQ(handle_.token_subject, "s");
  EXPECT_EQ(handle_.security_token, handle_.access_token);

  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "first") << "exactly 300 seconds left is still fresh";

  fake_now += 1;
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "second") << "299 seconds left is due";
  EXPECT_EQ(asked, (std::vector<std::string>{"creds", "renew-creds"}));
  EXPECT_EQ(handle_.security_token, handle_.access_token);
}

TEST_F(TokenRenewal, MissingOrBadRenewalLeavesNoTokenAndTheNextRequestAsksForCreds) {
  documents["creds"] = token_document("first", fake_now + 100);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "first");

  // Due at once, and the host has nothing to renew it with: the operator is told.
  vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_WARN);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "<none>");
  EXPECT_EQ(handle_.security_token, nullptr);
  EXPECT_NE(log.take().find(" WARN: vorlan_gcloud_update_token: the access token expired and "
                            "the host gave no renewal"),
            std::string::npos);

  // A document without an expiry or with a malformed one (its 500 INTERNAL_ERROR reply: the
  // command-line host's case) or not JSON at all fails and still leaves no token.
  for (const char *bad :
       {R"({"access_token": "x", "sub": "s"})",
        R"({"access_token": "x", "sub": "s", "token_expiry": "x"})", "not json"}) {
    documents["creds"] = bad;
    vorlan_result_t result = refresh();
    EXPECT_NE(error_text(result).find(*bad == '{' ? "Error unpacking user credential: "
                                                  : "Error loading user credential: "),
              std::string::npos);
    vorlan_error_release(result);
    EXPECT_EQ(token(), "<none>");
  }
  documents["creds"] = token_document("third", fake_now + 3600);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "third");
  EXPECT_EQ(asked,
            (std::vector<std::string>{"creds", "renew-creds", "creds", "creds", "creds", "creds"}));
}

// A key pair without an expiry is read once and never renewed; with a token's expiry it is
// renewed with the token, and the pair it replaces stays allocated for requests still using it.
// Half a pair is refused without naming the values.
TEST_F(TokenRenewal, KeyPairsAreReadWithOrWithoutAToken) {
  documents["creds"] = R"({"access_key_id": "AKID1", "secret_access_key": "s1"})";
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  fake_now += 10 * 365 * 86400;
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(asked, std::vector<std::string>{"creds"});
  EXPECT_STREQ(handle_.default_key_pair.key_id, "AKID1");
  EXPECT_STREQ(handle_.default_key_pair.secret_key, "s1");
  EXPECT_EQ(handle_.security_token, nullptr);

  vorlan_i_s3_handle_t renewed;
  documents["creds"] = R"({"access_key_id": "AKID1", "secret_access_key": "s1", "access_token":
      "t", "sub": "s", "token_expiry": "2000-01-01T00:00:00Z"})";
  documents["renew-creds"] = R"({"access_key_id": "AKID2", "secret_access_key": "s2"})";
  ASSERT_EQ(vorlan_i_gcloud_token_refresh(&renewed, nullptr), VORLAN_SUCCESS);
  ASSERT_EQ(vorlan_i_gcloud_token_refresh(&renewed, nullptr), VORLAN_SUCCESS);
  EXPECT_STREQ(renewed.default_key_pair.secret_key, "s2");
  ASSERT_EQ(renewed.retired_keys.size(), 2u);
  EXPECT_STREQ(renewed.retired_keys[1].get(), "s1");
  for (char *owned :
       {renewed.access_token, renewed.token_subject, renewed.key_id, renewed.secret_key})
    std::free(owned);

  for (const char *half : {R"({"access_key_id": "AKID3"})", R"({"secret_access_key": "s3"})"}) {
    documents["creds"] = half;
    vorlan_i_s3_handle_t other;
    const vorlan_result_t result = vorlan_i_gcloud_token_refresh(&other, nullptr);
    EXPECT_NE(error_text(result).find("a key pair needs both"), std::string::npos);
    EXPECT_EQ(error_text(result).find("s3\""), std::string::npos);
    vorlan_error_release(result);
    EXPECT_EQ(other.secret_key, nullptr);
  }
}

// What the "config" ("buckets") or "collection-policies" ("project") document gives: the
// names stored, joined by commas, then " ?name" for each unknown member a warning named; or
// "!" and the error's text. A failure stores nothing.
std::string parse_document(const std::string &member, const char *document) {
  vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_WARN);
  vorlan_result_t result = VORLAN_SUCCESS;
  std::string stored;
  if (member == "buckets") {
    char **sentinel = reinterpret_cast<char **>(0x1);
    char **buckets = sentinel;
    result = vorlan_i_s3_config_parse_buckets(nullptr, document, "buckets", &buckets);
    if (result != VORLAN_SUCCESS) {
      EXPECT_EQ(buckets, sentinel);
    } else if (buckets != nullptr) {
      for (char **name = buckets; *name != nullptr; ++name)
        stored += (name == buckets ? "" : ",") + std::string(*name);
      vorlan_i_s3_free_bucket_list(buckets);
    }
  } else {
    char *project = nullptr;
    result = vorlan_i_s3_config_parse_json_project(document, &project);
    stored = vorlan_i_s3_str(project);
    std::free(project);
  }
  const std::string warnings = log.take();
  const std::string marker = "unknown member \"";
  for (size_t at = warnings.find(marker); at != std::string::npos; at = warnings.find(marker, at)) {
    at += marker.size();
    stored += " ?" + warnings.substr(at, warnings.find('"', at) - at);
  }
  if (result == VORLAN_SUCCESS) return stored;
  EXPECT_EQ(stored, "");
  EXPECT_STREQ(vorlan_error_get_source_file(vorlan_error_peek(result)), "session_documents");
  const std::string text = "!" + error_text(result);
  vorlan_error_release(result);
  return text;
}

TEST(CollectionPolicies, BucketListAndProjectFromTheirDocuments) {
  struct Case {
    const char *member, *document;
    std::string expected;  // "!..." names the start of the error's text
  } cases[] = {
      {"buckets", R"({})", ""},
      {"buckets", R"({"buckets": []})", ""},
      {"buckets", R"({"buckets": null})", ""},
      {"buckets", R"({"buckets": ["a", "b"], "other": 1, "nested": {"buckets": 5}})",
       "a,b ?other ?nested"},
      // A misspelt member lifts the restriction: it is named in a warning.
      {"buckets", R"({"bucket": ["a"]})", " ?bucket"},
      {"buckets", R"({"buckets": ["a", 3]})", "!Error unpacking allowed bucket list."},
      // Any other kind of value would otherwise lift the restriction altogether.
      {"buckets", R"({"buckets": "a"})", "!Error unpacking allowed bucket list."},
      {"buckets", R"({"buckets": {"a": 1}})", "!Error unpacking allowed bucket list."},
      {"buckets", R"(["a"])", "!Error unpacking allowed bucket list: "},
      {"buckets", R"({"buckets": [)", "!Error loading collection storage policy: "},
      {"project", R"({})", ""},
      {"project", R"({"project": "my-project", "ignored": [1, 2]})", "my-project ?ignored"},
      {"project", R"({"project": 7})", "!Error unpacking collection policies: "},
      {"project", R"(["project"])", "!Error unpacking collection policies: "},
      {"project", R"({"project": )", "!Error loading collection policies: "},
  };
  for (const Case &c : cases) {
    const std::string got = parse_document(c.member, c.document);
    EXPECT_EQ(c.expected.starts_with("!") ? got.substr(0, c.expected.size()) : got, c.expected)
        << c.document;
  }
}

// With a member the module does not know, which it passes over.
const char *const kToken = R"({"access_token": "tok", "sub": "alice", "extra": true,
                               "token_expiry": "2099-01-01T00:00:00.5+00:00"})";

class SessionHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    documents.clear();
    finished = Finished{};
    init_status = S3StatusOK;
    library_count = 0;
    vorlan_i_s3_default_hostname = strdup("storage.googleapis.com");
  }
  void TearDown() override {
    vorlan_i_s3_config_reset();
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

TEST_F(SessionHandle, HoldsItsDocumentsAndAnOwnedRegion) {
  documents["creds"] = kToken;
  char eu[] = "EU";
  vorlan_i_s3_gcloud_bucket_location = eu;
  vorlan_i_s3_handle_t *first = start();
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->region, "EU");
  EXPECT_EQ(first->security_token, first->access_token);
  EXPECT_EQ(first->token_expiry, 4070908800);  // the other fields: the command-line host's tests

  // No documents at all: no restriction, no key id, no token. An AWS host signs for its own
  // region, not the default. The TLS and plain-HTTP tests on the wire cover the other settings.
  documents.clear();
  std::free(vorlan_i_s3_default_hostname);
  vorlan_i_s3_default_hostname = strdup("s3.amazonaws.com");
  vorlan_i_s3_use_virtual_host = true;
  vorlan_i_s3_handle_t *bare = start();
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->uri_style, S3UriStyleVirtualHost);
  EXPECT_STREQ(bare->region, "us-east-1");
  EXPECT_EQ(bare->allowed_buckets, nullptr);
  EXPECT_EQ(bare->key_id, nullptr);
  EXPECT_EQ(bare->access_token, nullptr);
  EXPECT_EQ(bare->security_token, nullptr);
  vorlan_i_s3_destroy(bare);
  vorlan_i_s3_destroy(first);
  vorlan_i_s3_destroy(nullptr);
  EXPECT_EQ(library_count, 0);
}

// The last start meets a library that refuses to initialise: the failure names
// "initialization", is logged, and the library is never deinitialised.
TEST_F(SessionHandle, FailedStartsReportUserErrorAndKeepTheLibraryBalanced) {
  const std::vector<std::map<std::string, std::string>> failing = {
      {{"config", "{"}},
      {{"collection-policies", R"({"project": false})"}},
      {{"config", R"({"buckets": ["a"]})"},
       {"collection-policies", R"({"project": "p"})"},
       {"creds", R"({"access_token": "t"})"}},
      {},
  };
  for (const auto &set : failing) {
    documents = set;
    init_status = set.empty() ? S3StatusInternalError : S3StatusOK;
    vorlan::test::CapturedLog log(VORLAN_S3_DEBUG_ERROR);
    EXPECT_EQ(start(), nullptr);
    EXPECT_NE(finished.result, VORLAN_SUCCESS);
    EXPECT_EQ(finished.username, "ERROR");
    EXPECT_EQ(finished.home_dir, "/");
    EXPECT_EQ(library_count, 0);
    EXPECT_EQ(error_text(finished.result).find("\"initialization\"") != std::string::npos,
              set.empty());
    EXPECT_EQ(
        log.take().starts_with("s3: ERROR: vorlan_i_s3_base_initialize: S3_initialize returns: " +
                               std::to_string(S3StatusInternalError)),
        set.empty());
    vorlan_error_release(finished.result);
  }
}

}  // namespace

// The documents a session starts with: "config", "collection-policies" and the access token
// (its expiry text, and when the session asks the host for a new one).
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_test_hooks.h"

namespace {

using vorlan::test::error_text;

TEST(TokenExpiry, ConvertsOffsetsToUtcAndRefusesOtherForms) {
  // 2024-03-01T10:00:00Z
  constexpr time_t ten_utc = 1709287200;
  struct Case {
    const char *text;
    bool ok;
    time_t expected;
  };
  const std::vector<Case> cases = {
      {"2024-03-01T10:00:00.1+02:00", true, ten_utc - 2 * 3600},
      {"2024-03-01T10:00:00.123456+02:00", true, ten_utc - 2 * 3600},
      {"2024-03-01T10:00:00.0-05:30", true, ten_utc + 5 * 3600 + 30 * 60},
      // The sign belongs to the minutes too, also when the hours are zero.
      {"2024-03-01T10:00:00.0-00:30", true, ten_utc + 30 * 60},
      {"2024-03-01T10:00:00.0+00:30", true, ten_utc - 30 * 60},
      // Crossing midnight and a month end through the offset.
      {"2024-03-01T01:00:00.5+02:00", true, ten_utc - 11 * 3600},
      {"2024-03-01T10:00:00Z", false, 0},
      {"2024-03-01T10:00:00+02:00", false, 0},
      {"2024-13-01T10:00:00.0+00:00", false, 0},
      {"2024-03-01T10:60:00.0+00:00", false, 0},
      {"2024-03-01T10:00:00.0+02:75", false, 0},
      {"", false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    time_t converted = 0;
    vorlan_result_t result = vorlan_i_gcloud_parse_date(c.text, &converted);
    if (c.ok) {
      ASSERT_EQ(result, VORLAN_SUCCESS) << error_text(result);
      EXPECT_EQ(converted, c.expected);
    } else {
      ASSERT_NE(result, VORLAN_SUCCESS);
      EXPECT_EQ(error_text(result), std::string("Error parsing time string: ") + c.text + "\n");
      vorlan_error_release(result);
    }
  }
}

// The host's documents and the clock, as the token reader sees them.
time_t fake_now = 1700000000;
std::map<std::string, std::string> documents;
std::vector<std::string> asked;

time_t fake_clock() { return fake_now; }
void fake_get_config_data(vorlan_gfs_operation_t, const char *key, char **string) {
  asked.emplace_back(key);
  auto found = documents.find(key);
  *string = found != documents.end() ? strdup(found->second.c_str()) : nullptr;
}

std::string token_document(const std::string &token, time_t expiry) {
  char when[64];
  struct tm utc;
  gmtime_r(&expiry, &utc);
  std::strftime(when, sizeof(when), "%Y-%m-%dT%H:%M:%S.000000+00:00", &utc);
  return R"({"access_token": ")" + token + R"(", "sub": "user@example.org", "token_expiry": ")" +
         when + R"(", "extra": true})";
}

class TokenRenewal : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlan_i_gcloud_clock = fake_clock;
    vorlan_i_gcloud_get_config_data = fake_get_config_data;
    documents.clear();
    asked.clear();
  }
  void TearDown() override {
    vorlan_i_gcloud_clock = saved_clock_;
    vorlan_i_gcloud_get_config_data = saved_get_;
    std::free(handle_.access_token);
    std::free(handle_.token_subject);
  }
  vorlan_result_t refresh() { return vorlan_i_gcloud_token_refresh(&handle_, nullptr); }
  std::string token() const { return handle_.access_token ? handle_.access_token : "<none>"; }

  vorlan_i_s3_handle_t handle_;

 private:
  decltype(vorlan_i_gcloud_clock) saved_clock_ = vorlan_i_gcloud_clock;
  decltype(vorlan_i_gcloud_get_config_data) saved_get_ = vorlan_i_gcloud_get_config_data;
};

TEST_F(TokenRenewal, RenewsWhenFewerThan300SecondsRemain) {
  documents["creds"] = token_document("first", fake_now + 300);
  documents["renew-creds"] = token_document("second", fake_now + 3600);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "first");
  EXPECT_STREQ(handle_.token_subject, "user@example.org");
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

  // Due at once, and the host has nothing to renew it with.
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "<none>");
  EXPECT_EQ(handle_.security_token, nullptr);

  documents["creds"] = R"({"access_token": "x", "sub": "s"})";
  vorlan_result_t result = refresh();
  ASSERT_NE(result, VORLAN_SUCCESS);
  const vorlan_object_t *error = vorlan_error_peek(result);
  EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), 500);
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), "INTERNAL_ERROR");
  EXPECT_EQ(
      std::string(vorlan_gfs_error_get_ftp_response_headers(error)).rfind("GridFTP-Error: ", 0),
      0u);
  vorlan_error_release(result);
  EXPECT_EQ(token(), "<none>");

  documents["creds"] = "not json";
  result = refresh();
  ASSERT_NE(result, VORLAN_SUCCESS);
  EXPECT_EQ(error_text(result).rfind("Error loading user credential: ", 0), 0u);
  vorlan_error_release(result);

  documents["creds"] = token_document("third", fake_now + 3600);
  ASSERT_EQ(refresh(), VORLAN_SUCCESS);
  EXPECT_EQ(token(), "third");
  EXPECT_EQ(asked, (std::vector<std::string>{"creds", "renew-creds", "creds", "creds", "creds"}));
}

struct BucketCase {
  const char *document;
  // nullopt: the parse fails and leaves the list untouched.
  std::optional<std::vector<std::string>> buckets;  // empty vector: no list (every bucket)
  const char *message_prefix = "";
};

TEST(CollectionPolicies, AllowedBucketListFromTheConfigDocument) {
  const std::vector<BucketCase> cases = {
      {R"({})", std::vector<std::string>{}},
      {R"({"buckets": []})", std::vector<std::string>{}},
      {R"({"buckets": null})", std::vector<std::string>{}},
      {R"({"buckets": ["a", "b"], "other": 1, "nested": {"buckets": 5}})",
       std::vector<std::string>{"a", "b"}},
      {R"({"buckets": ["a", 3]})", std::nullopt, "Error unpacking allowed bucket list."},
      // Any other kind of value would otherwise lift the restriction altogether.
      {R"({"buckets": "a"})", std::nullopt, "Error unpacking allowed bucket list."},
      {R"({"buckets": {"a": 1}})", std::nullopt, "Error unpacking allowed bucket list."},
      {R"(["a"])", std::nullopt, "Error unpacking allowed bucket list: "},
      {R"({"buckets": [)", std::nullopt, "Error loading collection storage policy: "},
  };
  for (const BucketCase &c : cases) {
    SCOPED_TRACE(c.document);
    char **sentinel = reinterpret_cast<char **>(0x1);
    char **buckets = sentinel;
    vorlan_result_t result =
        vorlan_i_s3_config_parse_buckets(nullptr, c.document, "buckets", &buckets);
    if (!c.buckets) {
      ASSERT_NE(result, VORLAN_SUCCESS);
      EXPECT_EQ(buckets, sentinel);
      EXPECT_EQ(error_text(result).rfind(c.message_prefix, 0), 0u) << error_text(result);
      EXPECT_STREQ(vorlan_error_get_source_file(vorlan_error_peek(result)), "config_parse");
      vorlan_error_release(result);
      continue;
    }
    ASSERT_EQ(result, VORLAN_SUCCESS) << error_text(result);
    if (c.buckets->empty()) {
      EXPECT_EQ(buckets, nullptr);
      continue;
    }
    std::vector<std::string> got;
    for (char **name = buckets; *name != nullptr; ++name) got.emplace_back(*name);
    EXPECT_EQ(got, *c.buckets);
    vorlan_i_s3_free_bucket_list(buckets);
  }
}

struct ProjectCase {
  const char *document;
  bool ok;
  const char *project;  // null: none stored
  const char *message_prefix = "";
};

TEST(CollectionPolicies, ProjectFromTheCollectionPoliciesDocument) {
  const std::vector<ProjectCase> cases = {
      {R"({})", true, nullptr},
      {R"({"project": "my-project", "ignored": [1, 2]})", true, "my-project"},
      {R"({"project": 7})", false, nullptr, "Error unpacking collection policies: "},
      {R"(["project"])", false, nullptr, "Error unpacking collection policies: "},
      {R"({"project": )", false, nullptr, "Error loading collection policies: "},
  };
  for (const ProjectCase &c : cases) {
    SCOPED_TRACE(c.document);
    char *project = nullptr;
    vorlan_result_t result = vorlan_i_s3_config_parse_json_project(c.document, &project);
    EXPECT_EQ(result == VORLAN_SUCCESS, c.ok);
    if (c.project == nullptr) {
      EXPECT_EQ(project, nullptr);
    } else {
      EXPECT_STREQ(project, c.project);
    }
    if (!c.ok) {
      EXPECT_EQ(error_text(result).rfind(c.message_prefix, 0), 0u) << error_text(result);
      vorlan_error_release(result);
    }
    std::free(project);
  }
}

}  // namespace

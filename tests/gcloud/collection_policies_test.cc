// The "config" and "collection-policies" documents a session starts with.
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_test_hooks.h"

namespace {

using vorlan::test::error_text;

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

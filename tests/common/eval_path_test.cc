#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

struct Expansion {
  const char *path_template;
  const char *env;       // VORLAN_SYSCONFDIR, or null for unset
  const char *override;  // vorlan_set_sysconfdir, or null for none
  const char *expected;  // null: the expansion must fail
  const char *error_mentions;
};

class EvalPath : public ::testing::TestWithParam<Expansion> {
 protected:
  void TearDown() override {
    unsetenv("VORLAN_SYSCONFDIR");
    vorlan_set_sysconfdir(nullptr);
  }
};

TEST_P(EvalPath, Expands) {
  const Expansion &c = GetParam();
  if (c.env != nullptr) {
    setenv("VORLAN_SYSCONFDIR", c.env, 1);
  } else {
    unsetenv("VORLAN_SYSCONFDIR");
  }
  vorlan_set_sysconfdir(c.override);

  char *path = reinterpret_cast<char *>(1);
  vorlan_result_t result = vorlan_eval_path(c.path_template, &path);
  if (c.expected != nullptr) {
    ASSERT_EQ(result, VORLAN_SUCCESS);
    EXPECT_STREQ(path, c.expected);
    free(path);
    return;
  }
  EXPECT_EQ(path, nullptr);
  const vorlan_object_t *error = vorlan_error_peek(result);
  ASSERT_NE(error, nullptr) << "a failed expansion must say why";
  EXPECT_NE(std::string(vorlan_error_get_long_desc(error)).find(c.error_mentions),
            std::string::npos)
      << vorlan_error_get_long_desc(error);
  vorlan_error_release(result);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, EvalPath,
    ::testing::Values(
        Expansion{"${sysconfdir}/vorlan/a.conf", "/opt/etc", nullptr, "/opt/etc/vorlan/a.conf", ""},
        Expansion{"${sysconfdir}/a:${sysconfdir}/b", "/e", nullptr, "/e/a:/e/b", ""},
        Expansion{"${sysconfdir}/a.conf", "/opt/etc", "/srv/conf", "/srv/conf/a.conf", ""},
        Expansion{"/plain/$HOME/path", "/opt/etc", nullptr, "/plain/$HOME/path", ""},
        Expansion{"${prefix}/a.conf", "/opt/etc", nullptr, nullptr, "${prefix}"},
        Expansion{"${sysconfdir/a.conf", "/opt/etc", nullptr, nullptr, "${sysconfdir/a.conf"}));

TEST(EvalPathDefault, UsesTheInstallDirectoryWithoutOverrides) {
  unsetenv("VORLAN_SYSCONFDIR");
  vorlan_set_sysconfdir(nullptr);
  char *path = nullptr;
  ASSERT_EQ(vorlan_eval_path("${sysconfdir}/vorlan/a.conf", &path), VORLAN_SUCCESS);
  std::string expanded = path;
  free(path);
  EXPECT_EQ(expanded.find("${"), std::string::npos);
  EXPECT_GT(expanded.size(), std::string("/vorlan/a.conf").size());
  EXPECT_EQ(expanded.substr(expanded.size() - 14), "/vorlan/a.conf");
}

}  // namespace

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

namespace {

struct Expansion {
  const char *path_template;
  const char *env;       // VORLAN_SYSCONFDIR
  const char *override;  // vorlan_set_sysconfdir, or null for none
  bool ok;
  const char *text;  // the expansion, or what the error must mention
};

class EvalPath : public ::testing::TestWithParam<Expansion> {};

TEST_P(EvalPath, Expands) {
  const Expansion &c = GetParam();
  setenv("VORLAN_SYSCONFDIR", c.env, 1);
  vorlan_set_sysconfdir(c.override);
  char *path = reinterpret_cast<char *>(1);
  vorlan_result_t result = vorlan_eval_path(c.path_template, &path);
  vorlan_set_sysconfdir(nullptr);
  unsetenv("VORLAN_SYSCONFDIR");

  if (c.ok) {
    ASSERT_EQ(result, VORLAN_SUCCESS);
    EXPECT_STREQ(path, c.text);
    free(path);
    return;
  }
  EXPECT_EQ(path, nullptr);
  const vorlan_object_t *error = vorlan_error_peek(result);
  ASSERT_NE(error, nullptr) << "a failed expansion must say why";
  EXPECT_NE(std::string(vorlan_error_get_long_desc(error)).find(c.text), std::string::npos)
      << vorlan_error_get_long_desc(error);
  vorlan_error_release(result);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, EvalPath,
    ::testing::Values(
        Expansion{"${sysconfdir}/vorlan/a.conf", "/opt/etc", nullptr, true,
                  "/opt/etc/vorlan/a.conf"},
        Expansion{"${sysconfdir}/a:${sysconfdir}/b", "/e", nullptr, true, "/e/a:/e/b"},
        Expansion{"${sysconfdir}/a.conf", "/opt/etc", "/srv/conf", true, "/srv/conf/a.conf"},
        Expansion{"/plain/$HOME/path", "/opt/etc", nullptr, true, "/plain/$HOME/path"},
        Expansion{"${prefix}/a.conf", "/opt/etc", nullptr, false, "${prefix}"},
        Expansion{"${sysconfdir/a.conf", "/opt/etc", nullptr, false, "${sysconfdir/a.conf"}));

TEST(EvalPathDefault, UsesTheInstallDirectoryWithoutOverrides) {
  char *path = nullptr;
  ASSERT_EQ(vorlan_eval_path("${sysconfdir}/vorlan/a.conf", &path), VORLAN_SUCCESS);
  std::string expanded = path;
  free(path);
  EXPECT_TRUE(expanded.size() > 14 && expanded.ends_with("/vorlan/a.conf")) << expanded;
  EXPECT_EQ(expanded.find("${"), std::string::npos) << expanded;
}

}  // namespace

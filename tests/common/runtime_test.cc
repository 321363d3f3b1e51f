// The runtime's small pieces: error objects, module activation counts, path expansion, the
// debug-log setting, the hash table, detached threads and a sleep that survives signals.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <vorlan/vorlan_common.h>

#include "temp_dir.h"

namespace {

using Text = std::unique_ptr<char, decltype(&free)>;

// A failure whose long description names `text`; it is released.
void expect_failure_mentioning(vorlan_result_t result, const char *text) {
  const vorlan_object_t *error = vorlan_error_peek(result);
  ASSERT_NE(error, nullptr) << "a failure must say why";
  EXPECT_NE(std::string(vorlan_error_get_long_desc(error)).find(text), std::string::npos)
      << vorlan_error_get_long_desc(error);
  vorlan_error_release(result);
}

// The friendly text is the reply's body: every cause's text, outermost first, empty ones skipped.
TEST(ErrorTable, FriendlyTextJoinsTheWholeChainOutermostFirst) {
  auto make = [](vorlan_object_t *cause, const char *text) {
    return vorlan_error_construct_error(nullptr, cause, 1, "file.cc", "func", 1, "%s", text);
  };
  std::string long_text(10000, 'k');
  vorlan_object_t *outer = make(make(make(nullptr, long_text.c_str()), ""), "download failed");
  Text friendly(vorlan_error_print_friendly(outer), free);
  EXPECT_EQ(std::string(friendly.get()), "download failed\n" + long_text);
  vorlan_error_release(vorlan_error_put(outer));
}

int activations = 0;
int deactivations = 0;
vorlan_result_t next_activation_result = VORLAN_SUCCESS;

vorlan_result_t activate() {
  ++activations;
  return next_activation_result;
}

vorlan_result_t deactivate() {
  ++deactivations;
  return VORLAN_SUCCESS;
}

vorlan_module_descriptor_t counted = {"counted", activate, deactivate, nullptr,
                                      nullptr,   nullptr,  nullptr};

// A failed first activation leaves the module inactive and the next one tries again; then the
// functions run only at the edges of the count, and an inactive module is never deactivated.
TEST(ModuleActivation, FunctionsRunOnlyAtTheEdgesOfTheCount) {
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  vorlan_result_t failure = vorlan_error_put(
      vorlan_error_construct_error(nullptr, nullptr, 1, "f", "g", 1, "config unreadable"));
  next_activation_result = failure;
  EXPECT_EQ(vorlan_module_activate(&counted), failure);
  EXPECT_EQ(vorlan_module_activation_count(&counted), 0);
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  vorlan_error_release(failure);

  next_activation_result = VORLAN_SUCCESS;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(vorlan_module_activate(&counted), VORLAN_SUCCESS);
  EXPECT_EQ(activations, 2);
  EXPECT_EQ(vorlan_module_activation_count(&counted), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(deactivations, 0) << "deactivated with " << 3 - i << " activations left";
    EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_SUCCESS);
  }
  EXPECT_EQ(deactivations, 1);
  EXPECT_EQ(vorlan_module_deactivate(&counted), VORLAN_FAILURE);
  EXPECT_EQ(deactivations, 1);
}

// Without VORLAN_SYSCONFDIR or an override, ${sysconfdir} is the install directory; the
// installation test finds the configuration there.
TEST(EvalPath, ExpandsSysconfdirOnly) {
  struct Case {
    const char *path_template;
    const char *env;       // VORLAN_SYSCONFDIR
    const char *override;  // vorlan_set_sysconfdir, or null for none
    const char *text;      // the expansion, or (when `ok` is false) what the error mentions
    bool ok = true;
  } cases[] = {
      {"${sysconfdir}/a:${sysconfdir}/b", "/e", nullptr, "/e/a:/e/b"},
      {"${sysconfdir}/a.conf", "/opt/etc", "/srv/conf", "/srv/conf/a.conf"},
      {"/plain/$HOME/path", "/opt/etc", nullptr, "/plain/$HOME/path"},
      {"${prefix}/a.conf", "/opt/etc", nullptr, "${prefix}", false},
      {"${sysconfdir/a.conf", "/opt/etc", nullptr, "${sysconfdir/a.conf", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path_template);
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
      continue;
    }
    EXPECT_EQ(path, nullptr);
    expect_failure_mentioning(result, c.text);
  }
}

constexpr const char *kVariable = "VORLAN_COMMON_TEST_DEBUG";
constexpr const char *kLevelNames = "TRACE INFO DEBUG WARNING ERROR";
constexpr uint32_t TRACE = 1, INFO = 2, DEBUG = 4, WARNING = 8, ERROR = 16;

enum class Output { kNone, kStderr, kFile };

struct Setting {
  const char *value;  // null: unset; "@FILE@" stands for a scratch log file
  uint32_t levels, timestamp_levels;
  int threads;
  Output output;
  const char *error_mentions;  // non-null: the setting must be refused
};

// A file log is opened for appending, so earlier content must survive; a refused setting
// leaves the log off and creates no file.
TEST(DebugInit, FillsTheHandle) {
  const Setting settings[] = {
      {nullptr, 0, 0, 0, Output::kNone, nullptr},
      {"", 0, 0, 0, Output::kNone, nullptr},
      {"error|Warning|info", ERROR | WARNING | INFO, 0, 0, Output::kStderr, nullptr},
      {"31", 31, 0, 0, Output::kStderr, nullptr},
      {"ALL", 31, 0, 0, Output::kStderr, nullptr},
      {"TRACE,-,threads", TRACE, 0, 1, Output::kStderr, nullptr},
      {"DEBUG,,threads,DEBUG|ERROR", DEBUG, DEBUG | ERROR, 1, Output::kStderr, nullptr},
      {"ERROR|WARNING|INFO,@FILE@,threads,ERROR", ERROR | WARNING | INFO, ERROR, 1, Output::kFile,
       nullptr},
      {"WARN", 0, 0, 0, Output::kNone, "\"WARN\""},
      {"ERROR,@FILE@,colour", 0, 0, 0, Output::kNone, "\"colour\""},
      {"99999999999", 0, 0, 0, Output::kNone, "99999999999"},
      {"ERROR,@FILE@,threads,ERROR,extra", 0, 0, 0, Output::kNone, "fields"},
      {"ERROR,/nonexistent-dir/s3.log", 0, 0, 0, Output::kNone, "/nonexistent-dir/s3.log"},
  };
  for (const Setting &s : settings) {
    SCOPED_TRACE(s.value != nullptr ? s.value : "(unset)");
    vorlan::test::TempDir dir;
    const std::string log_path = dir.path() + "/s3.log";
    if (s.output == Output::kFile) dir.write("s3.log", "earlier\n");
    if (s.value == nullptr) {
      unsetenv(kVariable);
    } else {
      std::string value = s.value;
      if (size_t at = value.find("@FILE@"); at != std::string::npos) value.replace(at, 6, log_path);
      setenv(kVariable, value.c_str(), 1);
    }
    vorlan_debug_handle_t handle;
    memset(&handle, 0xA5, sizeof handle);
    vorlan_result_t result = vorlan_debug_init(kVariable, kLevelNames, &handle);

    if (s.error_mentions != nullptr) {
      expect_failure_mentioning(result, s.error_mentions);
      EXPECT_TRUE(handle.output == nullptr && handle.owns_output == 0 && handle.levels == 0);
      EXPECT_NE(access(log_path.c_str(), F_OK), 0);
      continue;
    }
    ASSERT_EQ(result, VORLAN_SUCCESS);
    EXPECT_EQ(handle.levels, s.levels);
    EXPECT_EQ(handle.timestamp_levels, s.timestamp_levels);
    EXPECT_EQ(handle.show_thread_ids, s.threads);
    EXPECT_EQ(handle.owns_output, s.output == Output::kFile);
    if (s.output != Output::kFile) {
      EXPECT_EQ(handle.output, s.output == Output::kStderr ? stderr : nullptr);
      continue;
    }
    ASSERT_NE(handle.output, nullptr);
    fputs("later\n", handle.output);
    fclose(handle.output);
    EXPECT_EQ(vorlan::test::TempDir::read(log_path), "earlier\nlater\n");
  }
  unsetenv(kVariable);
}

constexpr int kKeys = 10000;

int destroyed = 0;
void count_destroyed(void * /*datum*/) { ++destroyed; }

// A small initial size makes the table grow many times while it fills.
TEST(Hashtable, TenThousandKeysInsertLookupRemove) {
  std::vector<std::string> keys;
  std::vector<int> data(kKeys);
  for (int i = 0; i < kKeys; ++i) keys.push_back("bucket/dir/object-" + std::to_string(i));
  vorlan_hashtable_t table = nullptr;
  ASSERT_EQ(
      vorlan_hashtable_init(&table, 4, vorlan_hashtable_string_hash, vorlan_hashtable_string_keyeq),
      VORLAN_SUCCESS);
  for (int i = 0; i < kKeys; ++i)
    ASSERT_EQ(vorlan_hashtable_insert(table, keys[i].data(), &data[i]), VORLAN_SUCCESS) << i;

  // An equal key in another buffer is a duplicate; the first datum stays.
  std::string again = keys[42];
  int other = 0;
  EXPECT_EQ(vorlan_hashtable_insert(table, again.data(), &other), VORLAN_FAILURE);
  EXPECT_EQ(vorlan_hashtable_lookup(table, again.data()), &data[42]);

  for (int i = 0; i < kKeys; ++i)
    ASSERT_EQ(vorlan_hashtable_lookup(table, keys[i].data()), &data[i]) << i;
  for (int i = 0; i < kKeys; i += 2)
    ASSERT_EQ(vorlan_hashtable_remove(table, keys[i].data()), &data[i]) << i;
  EXPECT_EQ(vorlan_hashtable_remove(table, keys[0].data()), nullptr);
  EXPECT_EQ(vorlan_hashtable_lookup(table, keys[1].data()), &data[1]);

  destroyed = 0;
  vorlan_hashtable_destroy_all(&table, count_destroyed);
  EXPECT_EQ(destroyed, kKeys / 2);
  EXPECT_EQ(table, nullptr);
}

TEST(Hashtable, StringHashIsInRangeAndStable) {
  for (int limit : {1, 17, 2147483647}) {
    for (std::string name : {"", "photos/2024/a.jpg", "\xff\xfe\x80 high", "zzzzzzzzzzzzzzzz"}) {
      int hash = vorlan_hashtable_string_hash(name.data(), limit);
      EXPECT_TRUE(hash >= 0 && hash < limit) << name << " limit " << limit << ": " << hash;
    }
  }
  // Stat records carry these as dev/ino, so they must not vary with the build or the platform's
  // char signedness.
  char high[] = "\xff\xff";
  EXPECT_EQ(vorlan_hashtable_string_hash(high, 2147483647), 255 * 31 + 255);
}

// A created thread is detached: nothing ever joins a worker, so a joinable one would leak.
TEST(Runtime, CreatedThreadsAreDetached) {
  std::promise<int> state;
  std::future<int> seen = state.get_future();
  vorlan_thread_t thread;
  auto body = [](void *arg) -> void * {
    pthread_attr_t attr;
    int detach_state = -1;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getdetachstate(&attr, &detach_state);
      pthread_attr_destroy(&attr);
    }
    static_cast<std::promise<int> *>(arg)->set_value(detach_state);
    return nullptr;
  };
  ASSERT_EQ(vorlan_thread_create(&thread, nullptr, body, &state), 0);
  ASSERT_EQ(seen.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(seen.get(), PTHREAD_CREATE_DETACHED);
}

// A signal handled mid-sleep cuts nanosleep short; the sleep still lasts its whole length.
TEST(Runtime, UsleepSleepsItsWholeLengthThroughSignals) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);  // no SA_RESTART
  pthread_t target = pthread_self();
  vorlan_thread_t thread;
  ASSERT_EQ(vorlan_thread_create(
                &thread, nullptr,
                [](void *arg) -> void * {
                  vorlan_libc_usleep(20000);
                  pthread_kill(*static_cast<pthread_t *>(arg), SIGUSR1);
                  return nullptr;
                },
                &target),
            0);
  const auto start = std::chrono::steady_clock::now();
  vorlan_libc_usleep(150000);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace

// The built module loaded by the embeddable host, configured for a plain-HTTP endpoint, with
// one session started: for tests that drive requests end to end.
#ifndef VORLAN_TESTS_MODULE_SESSION_H
#define VORLAN_TESTS_MODULE_SESSION_H

#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "temp_dir.h"

namespace vorlan::test {

// The host's access-token document for `token`, which expires at `expiry`.
inline std::string token_document(const std::string &token, time_t expiry) {
  char when[64];
  struct tm utc {};
  gmtime_r(&expiry, &utc);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S.0+00:00", &utc);
  return R"({"access_token": ")" + token + R"(", "sub": "s", "token_expiry": ")" + when + "\"}";
}

class ModuleSession {
 public:
  // `config` is added to the configuration file; with `log_levels` the module's diagnostic
  // log goes to log_path(). A request without progress for `request_timeout` is a host violation.
  // The session starts with `documents`. With `linked_module` the module's copy linked into the
  // test runs, so the test can set its settings' variables.
  explicit ModuleSession(const std::string &endpoint, const std::string &config = "",
                         const std::string &log_levels = "",
                         std::chrono::milliseconds request_timeout = std::chrono::minutes(2),
                         vorlan::host::SessionDocuments documents = {},
                         vorlan_module_descriptor_t *linked_module = nullptr) {
    if (!log_levels.empty()) setenv("VORLAN_S3_DEBUG", (log_levels + "," + log_path()).c_str(), 1);
    vorlan::host::Host::Options options;
    options.module_path = VORLAN_MODULE_PATH;
    options.request_timeout = request_timeout;
    options.linked_module = linked_module;
    options.option_string =
        dir_.write("module.conf", "host_name = " + endpoint + "\nuse_https = false\n" + config);
    std::string error;
    host_ = vorlan::host::Host::load(options, &error);
    unsetenv("VORLAN_S3_DEBUG");
    EXPECT_TRUE(host_ && host_->start_session("tester", std::move(documents), &session_).reply.ok())
        << error;
  }
  ~ModuleSession() { session_.reset(); }  // before the host unloads the module

  vorlan::host::Host &host() { return *host_; }
  vorlan::host::Session &session() { return *session_; }
  std::string log_path() const { return dir_.path() + "/module.log"; }

 private:
  TempDir dir_;
  std::unique_ptr<vorlan::host::Host> host_;
  std::unique_ptr<vorlan::host::Session> session_;
};

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_MODULE_SESSION_H

// Loading the test storage module for the host tests.
#ifndef VORLAN_TESTS_SERVER_TEST_DSI_HOST_HPP
#define VORLAN_TESTS_SERVER_TEST_DSI_HOST_HPP

#include <vorlan/host.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace vorlan::host::testing {

inline Host::Options test_dsi_options(
    std::chrono::milliseconds request_timeout = std::chrono::seconds(20)) {
  Host::Options options;
  options.module_path = VORLAN_TEST_DSI_PATH;
  options.dsi_name = "test_dsi";
  options.request_timeout = request_timeout;
  return options;
}

// The bytes the test module sends and expects to receive: byte i is (i * 131 + 7) & 0xff.
inline std::string pattern(int64_t from, int64_t to) {
  std::string out;
  for (int64_t i = from; i < to; ++i) out += static_cast<char>((i * 131 + 7) & 0xff);
  return out;
}

inline std::unique_ptr<Host> load_test_dsi(const Host::Options &options = test_dsi_options()) {
  std::string error;
  auto host = Host::load(options, &error);
  EXPECT_NE(host, nullptr) << error;
  return host;
}

inline std::unique_ptr<Session> start_test_session(Host &host, const std::string &user = "alice",
                                                   SessionDocuments documents = {}) {
  std::unique_ptr<Session> session;
  SessionStart start = host.start_session(user, std::move(documents), &session);
  EXPECT_TRUE(start.reply.ok()) << start.reply.text;
  return session;
}

}  // namespace vorlan::host::testing

#endif  // VORLAN_TESTS_SERVER_TEST_DSI_HOST_HPP

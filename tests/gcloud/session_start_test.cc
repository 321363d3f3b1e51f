// Session start and end through the built module, loaded the way the server loads it: what the
// server is told, which documents the module asks for, and that a failed start leaves nothing
// behind (the leak checker runs at exit).
#include <gtest/gtest.h>

#include <vorlan/host.hpp>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

using vorlan::host::Host;
using vorlan::host::Session;
using vorlan::host::SessionDocuments;
using vorlan::host::SessionStart;
using vorlan::test::TempDir;

const char *const kToken =
    R"({"access_token": "tok", "sub": "alice@example.org", "token_expiry": "2099-01-01T00:00:00.5+00:00"})";

class SessionStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    debug_log_ = dir_.path() + "/s3.log";
    setenv("VORLAN_S3_DEBUG", ("DEBUG," + debug_log_).c_str(), 1);
    setenv("VORLAN_GRIDFTP_SERVER_LOG", (dir_.path() + "/server.log").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VORLAN_S3_DEBUG");
    unsetenv("VORLAN_GRIDFTP_SERVER_LOG");
  }
  std::unique_ptr<Host> load(const std::string &config) {
    Host::Options options;
    options.module_path = VORLAN_MODULE_PATH;
    options.option_string = dir_.write("module.conf", config);
    std::string error;
    std::unique_ptr<Host> host = Host::load(options, &error);
    EXPECT_NE(host, nullptr) << error;
    return host;
  }
  std::string log() const { return TempDir::read(debug_log_); }

  TempDir dir_;
  std::string debug_log_;
};

TEST_F(SessionStartTest, StartsWithOrWithoutDocumentsAndReportsTheUsersHome) {
  std::unique_ptr<Host> host = load("host_name = 127.0.0.1:9\nuse_https = false\n");
  ASSERT_NE(host, nullptr);
  std::vector<std::string> asked;
  std::mutex asked_lock;
  struct Case {
    std::optional<std::string> config, policies, creds;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, std::nullopt},
      {R"({"buckets": ["a", "b"]})", R"({"project": "p-1"})", kToken},
      {R"({"buckets": null, "x": 1})", R"({})", std::nullopt},
  };
  for (const Case &c : cases) {
    SessionDocuments documents;
    documents.config = c.config;
    documents.collection_policies = c.policies;
    documents.creds = c.creds;
    documents.provider = [&](const std::string &key) -> std::optional<std::string> {
      std::lock_guard<std::mutex> guard(asked_lock);
      asked.push_back(key);
      return std::nullopt;
    };
    std::unique_ptr<Session> session;
    SessionStart started = host->start_session("alice", documents, &session);
    ASSERT_TRUE(started.reply.ok()) << started.reply.text;
    ASSERT_NE(session, nullptr);
    EXPECT_NE(session->handle(), nullptr);
    EXPECT_EQ(started.username, "alice");
    EXPECT_EQ(started.home_dir, "/");
    session.reset();
    EXPECT_EQ(asked, (std::vector<std::string>{"config", "collection-policies", "creds"}));
    asked.clear();
  }
  EXPECT_TRUE(host->violations().empty());
  EXPECT_NE(log().find("initializing to use host: 127.0.0.1:9\n"), std::string::npos) << log();
}

TEST_F(SessionStartTest, SigningRegionComesFromTheRegionTableElseTheBucketLocation) {
  struct Case {
    std::string config;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"host_name = s3.dualstack.eu-west-1.amazonaws.com\nbucket_create_location = EU\n",
       "initializing to use host: s3.dualstack.eu-west-1.amazonaws.com and region: eu-west-1\n"},
      {"host_name = 127.0.0.1:9\nbucket_create_location = EU\n",
       "initializing to use host: 127.0.0.1:9 and region: EU\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.config);
    std::unique_ptr<Host> host = load(c.config);
    ASSERT_NE(host, nullptr);
    std::unique_ptr<Session> first, second;
    ASSERT_TRUE(host->start_session("u", {}, &first).reply.ok());
    ASSERT_TRUE(host->start_session("u", {}, &second).reply.ok());
    first.reset();
    second.reset();
    EXPECT_NE(log().find(c.line), std::string::npos) << log();
  }
}

TEST_F(SessionStartTest, EveryFailureReachesTheClientWithNoHandle) {
  std::unique_ptr<Host> host = load("host_name = 127.0.0.1:9\nuse_https = false\n");
  ASSERT_NE(host, nullptr);
  struct Case {
    const char *label;
    SessionDocuments documents;
    std::string message;  // part of the reply's text
    int code;
    std::string error_type;
  };
  auto docs = [](std::optional<std::string> config, std::optional<std::string> policies,
                 std::optional<std::string> creds) {
    SessionDocuments documents;
    documents.config = std::move(config);
    documents.collection_policies = std::move(policies);
    documents.creds = std::move(creds);
    return documents;
  };
  const std::vector<Case> cases = {
      {"config not JSON", docs("{", {}, kToken), "Error loading collection storage policy", 500,
       ""},
      {"config an array", docs("[]", {}, kToken), "Error unpacking allowed bucket list", 500, ""},
      {"buckets a string", docs(R"({"buckets": "a"})", {}, kToken),
       "Error unpacking allowed bucket list.", 500, ""},
      {"bucket not a string", docs(R"({"buckets": ["a", 3]})", {}, kToken),
       "Error unpacking allowed bucket list.", 500, ""},
      {"project a number", docs({}, R"({"project": 7})", kToken),
       "Error unpacking collection policies", 500, ""},
      {"token not JSON", docs({}, {}, "token"), "Error loading user credential", 500, ""},
      {"token without sub", docs({}, {}, R"({"access_token": "t", "token_expiry": "x"})"),
       "GridFTP-Error: ", 500, "INTERNAL_ERROR"},
      {"token date with Z",
       docs({}, {}, R"({"access_token": "t", "sub": "s", "token_expiry": "2030-01-01T00:00:00Z"})"),
       "Error parsing time string: 2030-01-01T00:00:00Z", 500, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    std::unique_ptr<Session> session;
    SessionStart started = host->start_session("alice", c.documents, &session);
    EXPECT_FALSE(started.reply.ok());
    EXPECT_EQ(session, nullptr);
    EXPECT_EQ(started.reply.code, c.code);
    EXPECT_EQ(started.reply.error_type, c.error_type);
    EXPECT_NE(started.reply.text.find(c.message), std::string::npos) << started.reply.text;
  }
  EXPECT_TRUE(host->violations().empty());
}

}  // namespace

// The host loads a module and collects command results, recording every breach of the
// completion contract, and turns reply errors into reply text. Session starts and stat batches
// through the host are checked with the real module by the command-line host's tests.
#include <vorlan/host.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "temp_dir.h"
#include "test_dsi/test_dsi_host.hpp"

namespace vorlan::host {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using testing::load_test_dsi;
using testing::start_test_session;
using testing::test_dsi_options;
using vorlan::test::TempDir;

TEST(HostLoad, FailuresSayWhyAndLeaveNothingRegistered) {
  TempDir dir;
  std::string renamed = dir.path() + "/libvorlan_renamed.so";
  std::filesystem::copy_file(VORLAN_TEST_DSI_PATH, renamed,
                             std::filesystem::copy_options::overwrite_existing);
  struct Case {
    std::string what, module_path, dsi_name, error;
  } cases[] = {
      {"missing file", "/nonexistent/libvorlan_x.so", "test_dsi", "cannot load module"},
      {"not a shared object name", "/tmp/vorlan_module", "test_dsi", "does not end in .so"},
      {"no descriptor under the file's name", renamed, "test_dsi", "has no descriptor"},
      {"storage interface under another name", VORLAN_TEST_DSI_PATH, "other_name",
       "registered no storage interface named \"other_name\""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Host::Options options = test_dsi_options();
    options.module_path = c.module_path;
    options.dsi_name = c.dsi_name;
    std::string error;
    EXPECT_EQ(Host::load(options, &error), nullptr);
    EXPECT_THAT(error, HasSubstr(c.error));
    // The module was deactivated again.
    EXPECT_EQ(vorlan_extension_registry_lookup(&vorlan_i_gfs_dsi_registry, "test_dsi"), nullptr);
  }
  auto host = load_test_dsi();
  ASSERT_NE(host, nullptr);
  EXPECT_NE(vorlan_extension_registry_lookup(&vorlan_i_gfs_dsi_registry, "test_dsi"), nullptr);
}

// Session documents come from the provider first, on every call.
TEST(HostCommand, RepliesDocumentsAndContractBreaches) {
  auto host = load_test_dsi(test_dsi_options(std::chrono::milliseconds(300)));
  ASSERT_NE(host, nullptr);
  int renewals = 0;
  auto session = start_test_session(
      *host, "alice",
      {.config = "bucket-a,bucket-b",
       .creds = "fixed-creds",
       .provider = [&renewals](const std::string &key) -> std::optional<std::string> {
         return key == "creds" ? std::optional("token-" + std::to_string(++renewals))
                               : std::nullopt;
       }});
  ASSERT_NE(session, nullptr);
  struct Case {
    std::string path;
    int command, code;  // code 0: success
    std::string response, violation;
    std::vector<std::string> intermediate = {};
  } cases[] = {
      {"/dir", VORLAN_GFS_CMD_MKD, 0, "1 /dir", ""},
      {"/twice", VORLAN_GFS_CMD_MKD, 0, "first", "finished_command on an already finished"},
      {"/wrongkind", VORLAN_GFS_CMD_DELE, 0, "", "finished_stat on a command operation"},
      {"/failure", VORLAN_GFS_CMD_RMD, 500, "", ""},
      {"/never", VORLAN_GFS_CMD_RMD, 500, "", "timed out after 300 ms"},
      {"/config/creds", VORLAN_GFS_CMD_MKD, 0, "token-1", ""},
      {"/config/creds", VORLAN_GFS_CMD_MKD, 0, "token-2", ""},
      {"/config/config", VORLAN_GFS_CMD_MKD, 0, "bucket-a,bucket-b", ""},
      {"/config/unknown", VORLAN_GFS_CMD_MKD, 0, "(none)", ""},
      {"/f", VORLAN_GFS_CMD_CKSM, 0, "8 /f", "", {"50%"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    const size_t violations_before = host->violations().size();
    CommandResult result = host->command(*session, c.command, c.path);
    EXPECT_EQ(result.reply.ok(), c.code == 0) << result.reply.text;
    EXPECT_EQ(result.reply.code, c.code);
    EXPECT_TRUE(c.code == 0 || result.reply.text.starts_with(std::to_string(c.code) + " "));
    EXPECT_EQ(result.response.value_or(""), c.response);
    EXPECT_EQ(result.intermediate, c.intermediate);
    const auto violations = host->violations();
    ASSERT_EQ(violations.size(), violations_before + (c.violation.empty() ? 0 : 1));
    if (!c.violation.empty()) {
      EXPECT_THAT(violations.back(), HasSubstr(c.violation));
    }
  }
}

// The timeout counts from the last sign of progress: transfers that keep moving data finish
// however long they take ("/never" shows a stalled request failing); and a long session
// holds a bounded number of operations.
TEST(HostRequests, TimeOutOnlyWithoutProgressAndAreReleasedWhenDone) {
  auto host = load_test_dsi(test_dsi_options(std::chrono::milliseconds(500)));
  ASSERT_NE(host, nullptr);
  auto session = start_test_session(*host);
  ASSERT_NE(session, nullptr);
  for (bool upload : {false, true}) {
    // About a second: 1000 bytes in blocks of 64, two at a time, 100 ms each.
    const DataChannelOptions channel{.block_size = 64,
                                     .optimal_concurrency = 2,
                                     .completion_delay = std::chrono::milliseconds(100)};
    MemorySink sink;
    MemorySource source(testing::pattern(0, 1000));
    const TransferInfo info{.pathname = "/send/1000", .alloc_size = 1000};
    TransferResult result = upload ? host->recv(*session, info, channel, source)
                                   : host->send(*session, info, channel, sink);
    EXPECT_EQ(result.reply.text, "") << upload;
  }
  // Synchronous completions keep the 10,000 requests quick.
  auto run_commands = [&](int count) {
    for (int i = 0; i < count; ++i) host->command(*session, VORLAN_GFS_CMD_RMD, "/failure");
  };
  run_commands(10);
  const size_t held = session->operations_held();
  run_commands(10000);
  EXPECT_EQ(session->operations_held(), held);
}

TEST(HostLog, ModuleLinesReachTheHostAndTheLogFile) {
  TempDir dir;
  std::string path = dir.path() + "/server.log";
  setenv("VORLAN_GRIDFTP_SERVER_LOG", path.c_str(), 1);
  {
    auto host = load_test_dsi();
    ASSERT_NE(host, nullptr);
    std::string long_text(10000, 'x');
    vorlan_gfs_log_message(VORLAN_GFS_LOG_WARN, "long %s end\n", long_text.c_str());
    auto log = host->server_log();
    EXPECT_THAT(log, Contains("activated as test_dsi"));
    EXPECT_THAT(log, Contains("long " + long_text + " end"));
  }
  unsetenv("VORLAN_GRIDFTP_SERVER_LOG");
  std::string contents = TempDir::read(path);
  EXPECT_THAT(contents, HasSubstr("INFO: activated as test_dsi\n"));
  EXPECT_THAT(contents, HasSubstr("WARN: long xxx"));
}

// Reply errors become the control-channel replies a client sees.
vorlan_object_t *plain(const char *text, vorlan_object_t *cause = nullptr) {
  return vorlan_error_construct_error(nullptr, cause, VORLAN_ERROR_TYPE_MODULE, __FILE__, __func__,
                                      __LINE__, "%s", text);
}

std::string reply_of(vorlan_object_t *error) {
  char *text = vorlan_gfs_error_to_reply(error);
  std::string out = text != nullptr ? text : "(null)";
  free(text);
  vorlan_object_free(error);
  return out;
}

TEST(ReplyText, FollowsTheErrorChain) {
  auto coded = [](vorlan_object_t *cause, int code, const char *word) {
    return vorlan_gfs_ftp_response_error_construct(nullptr, cause, code, word, nullptr);
  };
  struct Case {
    std::string what;
    vorlan_object_t *error;
    std::string reply;
  } cases[] = {
      {"reply error with headers over a two-error cause chain",
       vorlan_gfs_ftp_response_error_construct(
           nullptr,
           plain("S3 Error accessing \"b/k\": NoSuchKey: gone: ",
                 vorlan_i_gfs_error_system(nullptr, ENOENT, "System error in stat")),
           550, "PATH_NOT_FOUND", "%s%s%s\nGridFTP-Errno: %d", "GridFTP-Path: \"", "/b/k", "\"", 2),
       "550-Error-Type: PATH_NOT_FOUND\r\n550-GridFTP-Path: \"/b/k\"\r\n550-GridFTP-Errno: 2\r\n"
       "550-S3 Error accessing \"b/k\": NoSuchKey: gone: \r\n"
       "550-System error in stat: No such file or directory\r\n550 End.\r\n"},
      {"reply error with a word and nothing else", coded(nullptr, 553, "APPEND_NOT_SUPPORTED"),
       "553-Error-Type: APPEND_NOT_SUPPORTED\r\n553 End.\r\n"},
      {"reply error with only a code keeps one line", coded(plain("slow down"), 451, nullptr),
       "451 slow down\r\n"},
      {"reply code found beneath a plain error",
       plain("while renaming", coded(nullptr, 451, "TOO_BUSY")),
       "451-Error-Type: TOO_BUSY\r\n451-while renaming\r\n451 End.\r\n"},
      {"no reply error: the default code", plain("vorlan_thread_create"),
       "500 vorlan_thread_create\r\n"},
      {"service text cannot end the reply early", plain("bad\r\n226 Transfer complete.\r\n\nmore"),
       "500-bad\r\n500-226 Transfer complete.\r\n500-more\r\n500 End.\r\n"},
      {"no error at all", nullptr, "500 Request failed.\r\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(reply_of(c.error), c.reply) << c.what;
}

// The readers find the reply error beneath a plain one; its own text names its parts.
TEST(ReplyText, ErrorReadersSearchTheChain) {
  vorlan_object_t *error =
      plain("outer", vorlan_gfs_ftp_response_error_construct(
                         nullptr, plain("inner"), 530, "LOGIN_DENIED", "GridFTP-User: %s", "bob"));
  EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), 530);
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), "LOGIN_DENIED");
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_headers(error), "GridFTP-User: bob");
  char *friendly = vorlan_error_print_friendly(error);
  EXPECT_THAT(friendly, HasSubstr("530 LOGIN_DENIED (GridFTP-User: bob)"));
  free(friendly);
  vorlan_object_free(error);
}

}  // namespace
}  // namespace vorlan::host

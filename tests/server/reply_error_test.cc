// Reply errors become the control-channel replies a client sees.
#include <vorlan/vorlan_gridftp_server.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

using ::testing::HasSubstr;

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
  struct Case {
    std::string what;
    std::function<vorlan_object_t *()> build;
    std::string reply;
  } cases[] = {
      {"reply error with headers over a two-error cause chain",
       [] {
         return vorlan_gfs_ftp_response_error_construct(
             nullptr,
             plain("S3 Error accessing \"b/k\": NoSuchKey: gone: ",
                   vorlan_i_gfs_error_system(nullptr, ENOENT, "System error in stat")),
             550, "PATH_NOT_FOUND", "%s%s%s\nGridFTP-Errno: %d", "GridFTP-Path: \"", "/b/k", "\"",
             2);
       },
       "550-Error-Type: PATH_NOT_FOUND\r\n550-GridFTP-Path: \"/b/k\"\r\n550-GridFTP-Errno: 2\r\n"
       "550-S3 Error accessing \"b/k\": NoSuchKey: gone: \r\n"
       "550-System error in stat: No such file or directory\r\n550 End.\r\n"},
      {"reply error with a word and nothing else",
       [] {
         return vorlan_gfs_ftp_response_error_construct(nullptr, nullptr, 553,
                                                        "APPEND_NOT_SUPPORTED", nullptr);
       },
       "553-Error-Type: APPEND_NOT_SUPPORTED\r\n553 End.\r\n"},
      {"reply error with only a code keeps one line",
       [] {
         return vorlan_gfs_ftp_response_error_construct(nullptr, plain("slow down"), 451, nullptr,
                                                        nullptr);
       },
       "451 slow down\r\n"},
      {"reply code found beneath a plain error",
       [] {
         return plain("while renaming", vorlan_gfs_ftp_response_error_construct(
                                            nullptr, nullptr, 451, "TOO_BUSY", nullptr));
       },
       "451-Error-Type: TOO_BUSY\r\n451-while renaming\r\n451 End.\r\n"},
      {"no reply error: the default code", [] { return plain("vorlan_thread_create"); },
       "500 vorlan_thread_create\r\n"},
      {"service text cannot end the reply early",
       [] { return plain("bad\r\n226 Transfer complete.\r\n\nmore"); },
       "500-bad\r\n500-226 Transfer complete.\r\n500-more\r\n500 End.\r\n"},
      {"no error at all", [] { return static_cast<vorlan_object_t *>(nullptr); },
       "500 Request failed.\r\n"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(reply_of(c.build()), c.reply) << c.what;
  }
}

TEST(ReplyText, ErrorReadersSearchTheChainAndSurviveTheTable) {
  vorlan_object_t *reply = vorlan_gfs_ftp_response_error_construct(
      nullptr, plain("inner"), 530, "LOGIN_DENIED", "GridFTP-User: %s", "bob");
  vorlan_result_t result = vorlan_error_put(plain("outer", reply));
  vorlan_object_t *error = vorlan_error_get(result);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(error), 530);
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_error_code(error), "LOGIN_DENIED");
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_headers(error), "GridFTP-User: bob");
  EXPECT_TRUE(vorlan_error_match(error, VORLAN_ERROR_TYPE_FTP_RESPONSE));
  char *friendly = vorlan_error_print_friendly(error);
  EXPECT_THAT(friendly, HasSubstr("530 LOGIN_DENIED (GridFTP-User: bob)"));
  free(friendly);
  vorlan_object_free(error);

  vorlan_object_t *bare = plain("bare");
  EXPECT_EQ(vorlan_gfs_error_get_ftp_response_code(bare), 0);
  EXPECT_EQ(vorlan_gfs_error_get_ftp_response_error_code(bare), nullptr);
  EXPECT_STREQ(vorlan_gfs_error_get_ftp_response_headers(bare), "");
  vorlan_object_free(bare);
}

}  // namespace

// The command-line host run as a program: a session started through it against the fake
// server, ls and stat against s3rver, their output, exit codes for each kind of failure, and
// tokens it fetches from (fake) Google Cloud token endpoints.
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <jansson.h>
#include <openssl/pem.h>

#include "fake_s3_server.h"
#include "s3_sync_calls.h"
#include "s3rver_fixture.h"
#include "temp_dir.h"

namespace {

using namespace std::string_literals;
using vorlan::test::FakeS3Fault;
using vorlan::test::FakeS3Object;
using vorlan::test::FakeS3Server;
using vorlan::test::S3rverFixture;
using vorlan::test::TempDir;

// The tool is built beside the module: <build>/tools next to <build>/gcloud.
std::string tool_path() {
  std::string module = VORLAN_MODULE_PATH;
  std::string build = module.substr(0, module.rfind('/'));
  build = build.substr(0, build.rfind('/'));
  return build + "/tools/vorlan-gridftp-host";
}

struct ToolRun {
  int exit_code = -1;
  std::string out, err;
};

// `environment`: arguments of env(1) before the tool.
ToolRun run(const TempDir &dir, const std::string &arguments,
            const std::string &environment = "-u VORLAN_S3_DEBUG") {
  const std::string out = dir.path() + "/out", err = dir.path() + "/err";
  const std::string command = "env " + environment + " '" + tool_path() + "' " + arguments +
                              " > '" + out + "' 2> '" + err + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempDir::read(out), TempDir::read(err)};
}

void expect_in(const std::string &text, const std::string &part) {
  EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
}

class HostCli : public ::testing::Test {
 protected:
  HostCli() {
    server_ = std::make_unique<FakeS3Server>(
        FakeS3Server::Options{.auth = FakeS3Server::Auth::kBearer, .bearer_token = "cli-token"});
    server_->create_bucket("a");
    config_ = dir_.write("module.conf", "host_name = " + server_->host() + "\nuse_https = false\n");
    policy_ = dir_.write("policy.json", R"({"buckets": ["a", "b"]})");
    project_ = dir_.write("project.json", R"({"project": "p-1"})");
    // A fresh token document on every run, numbered, as a real token command would give.
    const std::string script =
        R"(c="$(dirname "$0")/count"; n=$(($(cat "$c" 2>/dev/null || echo 0) + 1))
echo $n > "$c"
printf '{"access_token": "cli-token", "sub": "bob-%s@example.org",
         "token_expiry": "2099-01-01T00:00:00.%s+00:00"}' $n $n
)";
    creds_command_ = "sh '" + dir_.write("creds.sh", script) + "'";
  }
  std::string common() const {
    return "--config '" + config_ + "' --storage-policy '" + policy_ + "' --collection-policies '" +
           project_ + "'";
  }
  // The common options and the token command, ready for a subcommand.
  std::string tool() const { return common() + " --creds-command \"" + creds_command_ + "\" "; }
  // A run of the tool ("shell" alone gets tool()'s options) and what it must print.
  struct Case {
    std::string arguments, input;
    int exit_code;
    std::vector<std::string> parts;  // of stdout and stderr
    bool once = false;               // each part is there only once
    std::string environment = "-u VORLAN_S3_DEBUG";
  };
  void expect_runs(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.arguments + " < " + c.input);
      const std::string prefix = c.arguments == "shell" ? tool() : "";
      ToolRun result =
          run(dir_, prefix + c.arguments + " < '" + dir_.write("in", c.input) + "'", c.environment);
      EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
      const std::string text = result.out + result.err;
      for (const std::string &part : c.parts) {
        expect_in(text, part);
        EXPECT_TRUE(!c.once || text.find(part) == text.rfind(part)) << text;
      }
    }
  }

  TempDir dir_;
  std::unique_ptr<FakeS3Server> server_;
  std::string config_, policy_, project_, creds_command_;
};

// Each kind of failure has its exit code and tells its reply in one line (-v: the whole reply
// and the attempts). rm and rmdir of a missing path are not found; a refused connection, a
// timeout and 5xx answers that outlast the retries are worth retrying. A token command that fails
// stops the tool before anything goes out, at session start or at a later renewal; `session` marks
// an expired token and names policy members the module ignores. A failed download leaves the local
// file as it was, a full disk is a local failure of its own counting no phantom bytes, and
// standard input is read to its end whatever --alloc says.
TEST_F(HostCli, FailuresTellTheirReplyAndExitByKind) {
  server_->put_object("a", "k", std::string("new contents"));
  const std::string bad_token = dir_.write("bad.json", R"({"access_token": "t"})");
  const std::string input = dir_.write("in.bin", std::string(700000, 'x'));
  const std::string precious = dir_.write("precious.txt", "keep me"), absent = dir_.path() + "/no";
  // The first run gives an expired token, so the first request asks again; that run fails.
  const std::string later = dir_.write("later.sh", R"(c="$(dirname "$0")/later"; [ -e "$c" ] &&
{ echo "no account signed in" >&2; exit 7; }; touch "$c"
echo '{"access_token": "t", "sub": "s", "token_expiry": "2000-01-01T00:00:00Z"}')");
  const std::string typo = dir_.write("typo.json", R"({"bucket": ["a"]})");
  const std::string lines = dir_.write("lines.txt", "ls /a\n");  // the shell's
  const std::string config = "--config '" + config_ + "' ";
  struct Case {
    std::string arguments;
    int exit_code;
    std::vector<std::string> parts = {};  // of stdout and stderr
    std::string input = "/dev/null";
    bool offline = false;                  // no request goes out
    std::string file = "", contents = "";  // the file's contents afterwards; "-" when absent
    std::optional<FakeS3Fault> fault = std::nullopt;
    size_t requests = 0;  // when set, how many requests went out
  };
  const std::string closed = "--config '" + dir_.write("closed.conf", "host_name = 127.0.0.1:1\n") +
                             "' --creds-command \"" + creds_command_ + "\" ";
  const std::vector<Case> cases = {
      {common() + " --creds '" + bad_token + "' session",
       1,
       {"vorlan-gridftp-host: session: 500 INTERNAL_ERROR: Error unpacking user credential: Object "
        "item not found: token_expiry\n"}},
      {"--creds '" + dir_.path() + "/absent.json' session", 2, {"--creds: cannot read"}},
      {common(), 2, {}},  // no subcommand
      {"--module '" + dir_.path() + "/none.so' session", 2, {"cannot load"}},
      // The option list is the parser's own; the exit codes are ours to document.
      {"--help", 0, {"Exit codes"}},
      // The tool hands the announced size and the checksum to the module as given.
      {common() + " put '" + input + "' /a/x --alloc 800000",
       1,
       {"Unexpected end of data.  Size announced: 800000, size received: 700000"}},
      {common() + " put '" + input + "' /a/x --md5 abc", 1, {"Invalid md5 checksum"}},
      // A value for one algorithm never goes out under another's name; a wrong one stores
      // nothing (the references are Python's zlib.adler32 and crc32c of the file).
      {common() + " put '" + input + "' /a/x --md5 abc --checksum abc", 2, {"goes without"}},
      {common() + " put '" + input + "' /a/x --md5 abc --checksum-algorithm crc32c",
       2,
       {"--md5 gives an MD5; with --checksum-algorithm crc32c use --checksum"}},
      {tool() + "put '" + input + "' /a/x --checksum-algorithm adler32 --checksum f509081e",
       7,
       {"INCORRECT_CHECKSUM", "f509081e", "f509081f"}},
      {tool() + "put '" + input + "' /a/c --checksum-algorithm CRC32C --checksum 6C83C241", 0},
      {tool() + "cksum /a/k --algorithm sha1", 1, {"Unknown checksum algorithm"}},
      {common() + " get /a/k - --range 0:10 --range 5:10", 2, {"overlap"}},
      {config + "--creds-command \"echo 'gcloud: not logged in' >&2; exit 3\" ls /a",
       1,
       {"--creds-command failed, so no request was sent: exit status 3; its standard error:\n"
        "gcloud: not logged in\n"},
       lines,
       true},
      {config + "--creds-command \"sh '" + later + "'\" shell",
       1,
       {"exit status 7; its standard error:\nno account signed in\n"},
       lines,
       true},
      {config + "--storage-policy '" + typo + "' --creds-command \"sh '" + later + "'\" session",
       0,
       {"token expiry: 2000-01-01T00:00:00Z\ntoken state: expired",
        "allowed buckets: (all)\nwarning: storage policy (\"config\"): unknown member \"bucket\" "
        "ignored (the one read is \"buckets\")\n"},
       lines,
       true},
      {.arguments = tool() + "get /a/missing '" + precious + "'",
       .exit_code = 4,
       .parts = {"vorlan-gridftp-host: get /a/missing: 550 PATH_NOT_FOUND: The specified key "
                 "does not exist.\n",
                 "\" is left as it was"},
       .file = precious,
       .contents = "keep me"},
      {.arguments = tool() + "get /a/missing '" + absent + "'",
       .exit_code = 4,
       .parts = {"\" was not created"},
       .file = absent,
       .contents = "-"},
      {tool() + "-v get /a/k /dev/full",
       3,
       {"bytes=0 result=500\n", "cannot write \"/dev/full\": No space left on device"}},
      {.arguments = tool() + "get /a/k '" + precious + "'",
       .exit_code = 0,
       .file = precious,
       .contents = "new contents"},
      {tool() + "put - /a/x --alloc 12", 1, {"more than the 12 bytes announced"}, input},
      {tool() + "put - /a/x --alloc 800000",
       1,
       {"announced: 800000, size received: 700000"},
       input},
      {tool() + "put - /a/e", 0, {}, input},
      {.arguments = tool() + "rm /a/missing", .exit_code = 4, .requests = 3},
      {.arguments = tool() + "rm /a/k2", .exit_code = 0, .requests = 2},
      {.arguments = tool() + "rmdir /a/none/", .exit_code = 4},
      {.arguments = tool() + "rm /a/dir", .exit_code = 1, .parts = {"rm /a/dir: a directory"}},
      {tool() + "mv /a/none /a/y", 4, {"mv /a/none /a/y: 550 PATH_NOT_FOUND: \"/a/none\"\n"}},
      {closed + "stat /a/k", 6, {"stat /a/k: 500 FailedToConnect: Failed to connect to 127.0.0.1"}},
      {.arguments = tool() + "-v ls /a",
       .exit_code = 6,
       .parts = {"ls /a: 500 ErrorInternalError: Try again.\nls failed after 2 attempts over ",
                 " s\ncode: 500\nerror type: -\nheaders: -\nreply:\n500 S3 Error accessing"},
       .fault = FakeS3Fault::error(500, "InternalError", "Try again.").on("GET").times(2)},
      {.arguments = tool() + "--timeout 1 get /a/k -",
       .exit_code = 6,
       .parts = {"get /a/k: 500: no reply or data for 1 s (--timeout) from 127.0.0.1:"},
       .fault = FakeS3Fault::delay_by(std::chrono::milliseconds(2500)).on("GET")},
  };
  server_->put_object("a", "k2", std::string("x"));
  server_->put_object("a", "dir/", std::string());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    std::remove((dir_.path() + "/later").c_str());
    const size_t requests = server_->request_count();
    if (c.fault) server_->add_fault(*c.fault);
    ToolRun result = run(dir_, c.arguments + " < '" + c.input + "'");
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    for (const std::string &part : c.parts) expect_in(result.out + result.err, part);
    EXPECT_TRUE(!c.offline || server_->request_count() == requests);
    EXPECT_TRUE(c.requests == 0 || server_->request_count() - requests == c.requests);
    if (!c.file.empty()) {
      EXPECT_EQ(access(c.file.c_str(), F_OK) == 0 ? TempDir::read(c.file) : "-", c.contents);
    }
  }
  EXPECT_FALSE(server_->object("a", "x"));
  EXPECT_EQ(server_->object("a", "c")->metadata["crc32c"], "6c83c241");
  // No temporary file is left beside the target.
  EXPECT_EQ(std::system(("ls -A '" + dir_.path() + "' | grep -q '^\\.'").c_str()), 256);
  const std::optional<FakeS3Object> stored = server_->object("a", "e");
  EXPECT_TRUE(stored && stored->data == std::string(700000, 'x'));
}

// Entry lines are an interface scripts parse; -v adds a line per report the module makes.
TEST_F(HostCli, LsAndStatPrintEntriesAndReports) {
  ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL | S3_INIT_SIGNATURE_V4, nullptr), S3StatusOK);
  S3rverFixture s3rver;
  ASSERT_TRUE(s3rver.ok()) << s3rver.error();
  const vorlan::test::S3Target bucket{.host = s3rver.host(),
                                      .bucket = "cli",
                                      .access_key_id = S3rverFixture::kAccessKeyId,
                                      .secret_access_key = S3rverFixture::kSecretAccessKey};
  ASSERT_EQ(vorlan::test::s3_create_bucket(bucket).status, S3StatusOK);
  // ".", 30 files and a subdirectory: exactly one full batch, then an empty final one.
  for (int i = 100; i < 131; ++i) {
    const std::string key = i < 130 ? "d/" + std::to_string(i) : "d/sub/x";
    ASSERT_EQ(vorlan::test::s3_put(bucket, key.c_str(), "abc").status, S3StatusOK);
  }
  S3_deinitialize();
  const std::string config =
      "--config '" +
      dir_.write("s3rver.conf", "host_name = " + s3rver.host() + "\nuse_https = false\n") + "'";

  ToolRun listed = run(dir_, config + " -v ls /cli/d/");
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_EQ(listed.out.substr(0, 35), "drwx------ 1 0 - .\n-rwx------ 1 3 2") << listed.out;
  EXPECT_EQ(listed.out.find("Z 100\n"), 53u);  // a time is YYYY-MM-DDTHH:MM:SSZ
  expect_in(listed.out, "\ndrwx------ 1 0 - sub\n");
  EXPECT_EQ(listed.err, "config file: " + dir_.path() +
                            "/s3rver.conf\nreport: stat-partial count=32\nreport: stat-final "
                            "count=0 result=ok\n");

  ToolRun json = run(dir_, config + " stat --json /cli/d/sub/x");
  EXPECT_EQ(json.out.find(R"({"name":"d/sub/x","mode":33216,"nlink":1,"uid":0,"gid":0,"size":3,)"
                          R"("atime":-1,"ctime":-1,"mtime":)"),
            0u)
      << json.out;
  expect_in(json.out, R"(,"dev":)");
  expect_in(json.out, R"(,"ino":)");
  EXPECT_EQ(json.out.substr(json.out.size() - 24), ",\"symlink_target\":null}\n");
  // A failed stat's final report shows the reply code the client would see.
  ToolRun missing = run(dir_, config + " -v stat /cli/missing");
  expect_in(missing.err, "report: stat-final count=0 result=550\n");
}

// Uploads send the file's MD5 and time unless told not to, standard input neither; a whole
// download is checked against the object's MD5 and takes its time, into a directory by the
// object's name; ranges fill a file in; an upload into a directory is refused.
TEST_F(HostCli, PutAndGetMoveFilesByteForByte) {
  std::string data(700000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + (i >> 9));
  const std::string file = dir_.write("in.bin", data),
                    out = dir_.write("out.bin", data.substr(0, 1000));
  const struct timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimes(file.c_str(), times), 0);
  server_->put_object("a", "bad",
                      {.data = data,
                       .metadata = {{"md5", std::string(32, '0')}},
                       .etag = "\"" + std::string(32, 'e') + "-2\""});
  const std::string kept = dir_.write("kept.bin", "kept");
  struct Case {
    std::string arguments;
    int exit_code;
    std::vector<std::string> parts = {};  // of stdout and stderr
    std::string file = "", contents = "";
    time_t mtime = 0;
  };
  const std::vector<Case> cases = {
      {"put '" + file + "' /a/p", 0},
      {"put '" + file + "' /a/q --no-checksum --no-mtime", 0},
      {"put - /a/s --alloc 700000 --block-size 65536 < '" + file + "'", 0},
      {"put '" + file + "' /a/d/",
       2,
       {"into a directory is not supported: name the object, as in /a/d/in.bin"}},
      {"-v get /a/p '" + dir_.path() + "/'",
       0,
       {"md5: " + vorlan::test::fake_s3_md5_hex(data) + " (the object's)\n"},
       dir_.path() + "/p",
       data,
       1700000000},
      {"-v get /a/bad '" + kept + "'",
       7,
       {"checksum mismatch", "\"" + kept + "\" is left as it was"},
       kept,
       "kept"},
      {"-v get /a/p '" + out + "' --offset 1000",
       0,
       {"report: begin-transfer\nreport: finished-transfer bytes=699000 result=ok\n"},
       out,
       data},
      {"get /a/p - --range 500000:-1 --range 0:10 --parallel 2",
       0,
       {data.substr(500000) + data.substr(0, 10)}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    ToolRun result = run(dir_, tool() + c.arguments);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    for (const std::string &part : c.parts) expect_in(result.out + result.err, part);
    struct stat st {};
    EXPECT_TRUE(c.file.empty() || TempDir::read(c.file) == c.contents);
    EXPECT_EQ(c.mtime != 0 && stat(c.file.c_str(), &st) == 0 ? st.st_mtime : 0, c.mtime);
  }
  std::map<std::string, std::string> content_md5;
  for (const auto &request : server_->requests()) {
    if (request.method == "PUT") content_md5[request.key] = request.header("content-md5");
  }
  EXPECT_EQ(content_md5, (std::map<std::string, std::string>{
                             {"p", vorlan::test::fake_s3_md5_base64(data)}, {"q", ""}, {"s", ""}}));
  EXPECT_EQ(server_->object("a", "p")->metadata["mtime"], "1700000000");
  EXPECT_EQ(server_->object("a", "q")->metadata.count("mtime"), 0u);
  EXPECT_EQ(server_->object("a", "s")->data, data);
}

// A long download shows its progress with the total in a log; Ctrl-C leaves its first bytes
// on disk in order and prints the command that completes them.
TEST_F(HostCli, InterruptedGetSaysHowToContinue) {
  std::string data(700000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 11));
  server_->put_object("a", "k", data);
  server_->add_fault(FakeS3Fault::stall_after(300000, std::chrono::seconds(300)).on("GET"));
  const std::string local = dir_.path() + "/k.bin", pid = dir_.path() + "/pid";
  ToolRun result;
  std::thread running([&] {
    result = run(dir_, tool() + "-v --update-interval 1 get /a/k '" + local + "'",
                 R"(-u VORLAN_S3_DEBUG sh -c 'echo $$ > "$0"; exec "$@"' ')" + pid + "'");
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (TempDir::read(dir_.path() + "/err").find(": 256.0 KiB of 683.6 KiB (37%)") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (const int tool = std::atoi(TempDir::read(pid).c_str()); tool > 0) kill(tool, SIGINT);
  running.join();
  const std::string said = "holds the object's first ", go_on = "; to continue: ";
  const size_t at = result.err.find(said), command = result.err.find(go_on);
  ASSERT_NE(command, std::string::npos) << result.err;
  const size_t bytes = std::stoul(result.err.substr(at + said.size()));
  EXPECT_GT(bytes, 0u);
  EXPECT_EQ(TempDir::read(local), data.substr(0, bytes));
  const std::string again = result.err.substr(command + go_on.size());
  expect_in(again, "get /a/k " + local + " --offset " + std::to_string(bytes) + "\n");
  EXPECT_EQ(std::system((again.substr(0, again.find('\n')) + " 2>/dev/null").c_str()), 0);
  EXPECT_EQ(TempDir::read(local), data);
}

// Commands print nothing but cksum's checksum. A shell runs its lines in one session, so a
// checksum after a whole download comes from the module's cache without a second read.
TEST_F(HostCli, CommandsAndAShellSession) {
  server_->create_bucket("b");
  FakeS3Object object;
  object.data = std::string(500000, 'k');
  object.etag = "\"" + std::string(32, 'e') + "-2\"";
  server_->put_object("a", "k", object);
  const std::string md5 = vorlan::test::fake_s3_md5_hex(object.data);
  // The read stalls after its first bytes, and its resumption passes the update interval.
  server_->add_fault(FakeS3Fault::stall_after(100000, std::chrono::milliseconds(1500)).on("GET"));
  ToolRun single = run(dir_, tool() + "-v --update-interval 1 cksum /a/k");
  EXPECT_EQ(single.out, md5 + "\n");
  expect_in(single.err, "report: intermediate ");
  expect_in(single.err, "report: finished-command result=ok\n");

  server_->clear_requests();
  const std::string script = dir_.write(
      "session.txt", "# as a client\nmkdir /a/d\nget /a/k '" + dir_.path() + "/k'\ncksum /a/k\n" +
                         "cksum /a/k --algorithm ADLER32\ncksum /a/k --algorithm crc32c\n" +
                         " cksum /a/k --offset 10 --length 2 --algorithm crc32c\n" +
                         "mv /a/k '/b/c d'\nrm '/b/c d'\nrmdir /a/d/\ncksum /a\nmkdir /a/never\n");
  ToolRun shell = run(dir_, tool() + "shell -e < '" + script + "'");
  EXPECT_EQ(shell.exit_code, 1);
  // Python's zlib.adler32 and crc32c of the object, and crc32c of "kk".
  EXPECT_EQ(shell.out, md5 + "\nf31f8831\na945d596\n204101ac\n");
  expect_in(shell.err, "System error in checksum");
  // One session; the checksums after the whole get are no second read; -e stops before mkdir.
  EXPECT_EQ(TempDir::read(dir_.path() + "/count"), "2\n");
  EXPECT_EQ(server_->count("GET"), 2u);
  EXPECT_EQ(server_->count("DELETE"), 3u);
  EXPECT_EQ(server_->count("PUT"), 2u);
}

// Global options go before or after the subcommand, and each subcommand's help lists them.
// Shell lines: help and quit, errors naming their line, the first failure's exit code.
TEST_F(HostCli, OptionsAnywhereAndTheShellsOwnCommands) {
  server_->put_object("a", "k", std::string("kept"));
  // On a terminal (script's): a line edited with ^B, then the history's last line with ^P.
  const std::string pty =
      "-u VORLAN_S3_DEBUG timeout 60 sh -c 'exec script -qec \"$*\" /dev/null' sh";
  const std::string sa = " --service-account-file '" + config_ + "'";
  const std::vector<Case> options = {
      {"ls /a/k " + tool(), "", 0, {" 4 "}},
      {"ls --help", "", 0, {"Global options:\n  --module", "  --creds-command TEXT"}},
      {"--module /m.so --version", "", 0, {"vorlan-gridftp-host 0.", "\nmodule: /m.so\n"}},
      {"--module /m.so ls --version", "", 0, {"vorlan-gridftp-host 0.", "\nmodule: /m.so\n"}},
      {"lss", "", 2, {"unknown subcommand 'lss'; the subcommands are: session ls stat get"}},
      {sa + " ls /a " + tool(), "", 2, {"--service-account-file excludes --creds-command"}},
  };
  const std::vector<Case> shell = {
      {"shell", "help\n", 0, {"\nquit     End the shell", "\ncksum    Print the checksum"}},
      {"shell",
       "# c\nlss /a\nstat /a/none\nls /a/k\nquit\nrm /a/k\n",
       2,
       {"line 2: unknown subcommand 'lss'", "line 3: stat /a/none: 550 PATH_NOT_FOUND\n", " 4 "}},
      {"shell", "ls\nexit\n", 2, {"line 1: PATH is required"}},
      {"--config " + config_ + " shell", "hlp\2\2e\n\20\nquit\n", 0, {"vorlan> "}, false, pty},
  };
  expect_runs(options);
  expect_runs(shell);
  EXPECT_TRUE(server_->object("a", "k"));  // the line after quit did not run
}

// Wrong configuration and token files name the file, the line and the form expected. session
// shows the token the module was given (the first run's, not a later one's) and the file read,
// as -v does; an AWS endpoint signs for its own region, also when the caller keeps its own
// module log. An `ls /` of "." alone says why on stderr. None of it asks the service anything.
TEST_F(HostCli, ConfigurationAndCredentialMessages) {
  const std::string missing = dir_.path() + "/missing.conf", log = dir_.path() + "/caller.log";
  const std::string fallback =
      dir_.write("etc/vorlan/vorlan-gridftp-server-google-cloud.conf", "use_https = false\n");
  const std::string given = "--config '" + config_ + "' ";
  const std::string logged = "VORLAN_S3_DEBUG='DEBUG," + log + "'";
  const std::string etc = "-u VORLAN_S3_DEBUG VORLAN_SYSCONFDIR='" + dir_.path() + "/etc'";
  const std::string hint = "invalid line: write `key = value`: a blank before `=`";
  const std::string session = "user: bob\nhome directory: /\nconfig file: " + config_ +
                              "\nhost: " + server_->host() + "\nregion: -\nkey id: p-1\n" +
                              "token subject: bob-1@example.org\ntoken expiry: " +
                              "2099-01-01T00:00:00.1+00:00\nallowed buckets: a b\nconfig file: ";
  const std::string expiry = R"({"access_token": "t", "sub": "s", "token_expiry": "2026-12-08"})";
  const auto config = [&](const char *name, const std::string &text) {
    return "--config '" + dir_.write(name, text) + "' session";
  };
  const auto creds = [&](const char *name, const std::string &text) {
    return given + "--creds '" + dir_.write(name, text) + "' session";
  };
  const std::string aws = config("aws", "host_name = s3.eu-west-1.amazonaws.com\n");
  expect_runs({
      {config("e", "use_https = false\nhost_name=h\n"), "", 2, {"/e:2: " + hint}},
      {config("q", "host_name = 'h'\n"), "", 2, {"/q:1: the value of host_name is quoted"}},
      {"--config '" + missing + "' session", "", 2, {missing}, true},
      {tool() + "--user bob -v session", "", 0, {session + config_ + "\n"}},
      {aws, "", 0, {"region: eu-west-1\n"}, false, logged},
      {"session", "", 0, {fallback + " (the module's default)"}, true, etc},
      {creds("c.json", "{"), "", 2, {"--creds: " + dir_.path() + "/c.json is not a JSON object"}},
      {creds("t", expiry), "", 1, {"\"2026-12-08\" is not an RFC 3339 time such as 2026-12-08T18"}},
      {given + "ls /", "", 0, {"- .\nvorlan-gridftp-host: \"/\" lists no buckets without a token"}},
  });
  expect_in(TempDir::read(log), "and region: eu-west-1");
  EXPECT_EQ(server_->request_count(), 0u);
}

// A key pair in the token document signs every request with Signature V4; a refused pair or a
// clock far off says so without the signature's internals, and the secret appears nowhere, not
// even in the TRACE log. Requester pays and the storage class go in the session's dialect.
TEST(HostCliCredentials, KeyPairsSignAndSayWhyTheyAreRefused) {
  TempDir dir;
  const std::string pair = R"("access_key_id": "AKIDFAKE", "secret_access_key": "fake-secret")";
  const std::string token =
      R"("access_token": "cli-token", "sub": "s", "token_expiry": "2099-01-01T00:00:00Z")";
  const std::string script = dir.write(
      "lines.txt", "ls /a\nput '" + dir.write("in.bin", "pair data") + "' /a/k\nget /a/k '" +
                       dir.path() + "/out.bin'\nmv /a/k /a/m\ncksum /a/m --algorithm crc32c\n");
  struct Case {
    std::string document;
    FakeS3Server::Auth auth;
    std::string settings, policies;  // configuration lines; collection policies
    std::vector<std::string> parts;  // of stderr, or a header every request carried ("x-...")
    int exit_code = 5;
    bool requester_pays = false;
    int clock_offset = 0;
  };
  const std::vector<Case> cases = {
      {pair,
       FakeS3Server::Auth::kSigV4,
       "storage_class = NEARLINE\n",
       "{}",
       {"x-amz-storage-class: NEARLINE"},
       0},
      {pair + ", " + token, FakeS3Server::Auth::kSigV4, "", "{}", {}, 0},
      {token,
       FakeS3Server::Auth::kBearer,
       "storage_class = NEARLINE\n",
       R"({"project": "p-1", "user_project": "bill"})",
       {"x-goog-user-project: bill", "x-goog-storage-class: NEARLINE"},
       0,
       true},
      {pair,
       FakeS3Server::Auth::kSigV4,
       "user_project = bill\n",
       "{}",
       {"x-amz-request-payer: requester"},
       0,
       true},
      {token,
       FakeS3Server::Auth::kBearer,
       "",
       R"({"project": "p-1"})",
       {"Bucket is a requester pays bucket", "\"user_project\" in the collection policies"},
       1,
       true},
      {R"("access_key_id": "AKIDFAKE", "secret_access_key": "wrong-secret")",
       FakeS3Server::Auth::kSigV4,
       "",
       "{}",
       {"530", "refused the key pair: its secret access key", "\"secret_access_key\""}},
      {R"("access_key_id": "AKIDOTHER", "secret_access_key": "fake-secret")",
       FakeS3Server::Auth::kSigV4,
       "",
       "{}",
       {"530", "it knows no such access key id", "\"access_key_id\""}},
      {pair,
       FakeS3Server::Auth::kSigV4,
       "",
       "{}",
       {"530", "clock is more than 15 minutes off"},
       5,
       false,
       3600},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.document + " " + c.settings + c.policies);
    FakeS3Server server(FakeS3Server::Options{
        .auth = c.auth, .bearer_token = "cli-token", .clock_offset_seconds = c.clock_offset});
    server.create_bucket("a");
    if (c.requester_pays) server.set_requester_pays("a");
    const std::string log = dir.path() + "/trace.log";
    std::remove(log.c_str());
    ToolRun result =
        run(dir,
            "--config '" +
                dir.write("m.conf",
                          "host_name = " + server.host() + "\nuse_https = false\n" + c.settings) +
                "' --collection-policies '" + dir.write("p.json", c.policies) + "' --creds '" +
                dir.write("creds.json", "{" + c.document + "}") + "' shell -e < '" + script + "'",
            "VORLAN_S3_DEBUG='TRACE," + log + "'");
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    for (const std::string &part : c.parts) {
      if (!part.starts_with("x-")) {
        expect_in(result.err, part);
        continue;
      }
      // The storage class goes with the upload (the first PUT), the payer with every request.
      const std::string name = part.substr(0, part.find(':'));
      const bool upload_only = name.ends_with("storage-class");
      for (const auto &request : server.requests()) {
        if (upload_only && request.method != "PUT") continue;
        EXPECT_EQ(name + ": " + request.header(name), part) << request.target;
        if (upload_only) break;
      }
    }
    const std::string trace = TempDir::read(log);
    EXPECT_NE(trace.find("TRACE"), std::string::npos);
    for (const std::string &text : {trace, result.out + result.err}) {
      EXPECT_EQ(text.find("-secret"), std::string::npos);
      EXPECT_EQ(text.find("signature we calculated"), std::string::npos);
    }
    if (c.exit_code == 0) {
      EXPECT_EQ(TempDir::read(dir.path() + "/out.bin"), "pair data");
      EXPECT_FALSE(server.object("a", "k"));
      EXPECT_EQ(server.object("a", "m")->data, "pair data");
      EXPECT_EQ(result.out, "drwx------ 1 0 - .\na7a23d45\n");  // crc32c of "pair data"
    }
  }
}

using Json = std::unique_ptr<json_t, decltype(&json_decref)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string unbase64url(std::string text) {
  for (char &c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  text.append((4 - text.size() % 4) % 4, '=');
  std::string out(text.size(), '\0');
  const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                   reinterpret_cast<const unsigned char *>(text.data()),
                                   static_cast<int>(text.size()));
  out.resize(size > 0 ? size - std::count(text.begin(), text.end(), '=') : 0);
  return out;
}

// Whether a JWT is signed RS256 for the public half of `key` with the claims Google checks.
bool assertion_ok(const std::string &jwt, EVP_PKEY *key, const std::string &token_uri) {
  const size_t dot = jwt.find('.'), last = jwt.rfind('.');
  const std::string signature = unbase64url(jwt.substr(last + 1));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> verify(EVP_MD_CTX_new(),
                                                                 &EVP_MD_CTX_free);
  const Json claims(
      json_loads(unbase64url(jwt.substr(dot + 1, last - dot - 1)).c_str(), 0, nullptr),
      json_decref);
  const char *iss = "", *scope = "", *aud = "";
  json_int_t iat = 0, exp = 0;
  return dot != last &&
         EVP_DigestVerifyInit(verify.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(verify.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char *>(jwt.data()),
                          last) == 1 &&
         json_unpack(claims.get(), "{s:s, s:s, s:s, s:I, s:I}", "iss", &iss, "scope", &scope, "aud",
                     &aud, "iat", &iat, "exp", &exp) == 0 &&
         std::string(iss) + " " + aud + " " + scope ==
             "sa@p.test " + token_uri + " https://www.googleapis.com/auth/devstorage.read_write" &&
         exp - iat == 3600 && std::abs(iat - std::time(nullptr)) < 60;
}

// Tokens the tool fetches reach the service as its bearer token: a service account's (renewed
// before a request when it expires soon, and when refused) and the metadata server's. A refusal (a
// wrong signature, no Metadata-Flavor) stops the tool before any request; no output shows the
// private key.
TEST_F(HostCli, ServiceAccountAndMetadataTokens) {
  const Key key(EVP_RSA_gen(2048), EVP_PKEY_free), other(EVP_RSA_gen(2048), EVP_PKEY_free);
  std::mutex lock;
  std::vector<int> lifetimes;  // of the tokens handed out in turn; the service takes only the last
  std::string flavor, metadata = "/computeMetadata/v1/instance/service-accounts/default/";
  httplib::Server http;
  const std::string address = "127.0.0.1:" + std::to_string(http.bind_to_any_port("127.0.0.1"));
  const std::string token_uri = "http://" + address + "/token";
  const auto serve = [&](const httplib::Request &request, httplib::Response &response) {
    std::lock_guard guard(lock);
    const bool get = request.method == "GET";
    const bool ok =
        get ? request.get_header_value("Metadata-Flavor") == flavor
            : request.get_param_value("grant_type") ==
                      "urn:ietf:params:oauth:grant-type:jwt-bearer" &&
                  assertion_ok(request.get_param_value("assertion"), key.get(), token_uri);
    response.status = ok ? 200 : get ? 403 : 400;
    if (!ok || request.path.ends_with("email")) {
      return response.set_content(
          ok    ? "vm@p.test"
          : get ? "Missing required header \"Metadata-Flavor\""
                : R"({"error": "invalid_grant", "error_description": "Invalid JWT Signature."})",
          "");
    }
    response.set_content(R"({"access_token": ")" + (lifetimes.size() > 1 ? "early" : "cli-token"s) +
                             R"(", "expires_in": )" + std::to_string(lifetimes.at(0)) + "}",
                         "application/json");
    lifetimes.erase(lifetimes.begin());
  };
  http.Post("/token", serve);
  http.Get(metadata + "(token|email)", serve);
  std::thread listener([&] { http.listen_after_bind(); });

  const auto key_option = [&](const char *name, EVP_PKEY *pkey) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr);
    char *pem = nullptr;
    const int size = static_cast<int>(BIO_get_mem_data(bio.get(), &pem));
    const std::string path = dir_.path() + "/" + name;
    const Json file(json_pack("{s:s, s:s, s:s, s:s, s:s#}", "type", "service_account",
                              "client_email", "sa@p.test", "private_key_id", "k-1", "token_uri",
                              token_uri.c_str(), "private_key", pem, size),
                    json_decref);
    json_dump_file(file.get(), path.c_str(), 0);
    return "--service-account-file '" + path + "' ";
  };
  const std::string sa = key_option("sa.json", key.get());
  const std::string lines = dir_.write("sa.txt", "session\nls /a\n");
  const std::string stop = " failed, so no request was sent: http://" + address;
  struct Case {
    std::string arguments;
    int exit_code;
    std::string part;
    std::string flavor = "Google";
    std::vector<int> lifetimes = {3600};
    size_t requests = 2;  // a listing's, and one more for a token refused first
  };
  const std::vector<Case> cases = {
      {sa + "shell", 0, "token state: due for renewal", "Google", {100, 3600}},
      {sa + "shell", 0, "token subject: sa@p.test\n", "Google", {3600, 3600}, 3},
      {"--metadata-token shell", 0, "token subject: vm@p.test\n"},
      {key_option("other.json", other.get()) + "shell", 1,
       stop + "/token answered 400: invalid_grant: Invalid JWT Signature.\n"},
      {"--metadata-token shell", 1, stop + metadata + "token answered 403: Missing required", "x"},
      {sa + "--creds-command true ls /a", 2, "excludes"},
      {"--service-account-file '" + lines + "' ls /a", 2,
       lines + " is not a service account key: not JSON"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.arguments);
    std::unique_lock guard(lock);
    std::tie(lifetimes, flavor) = std::tie(c.lifetimes, c.flavor);
    guard.unlock();
    const size_t requests = server_->request_count();
    ToolRun result = run(dir_, common() + " " + c.arguments + " < '" + lines + "'",
                         "-u VORLAN_S3_DEBUG GCE_METADATA_HOST=" + address);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
    expect_in(result.out + result.err, c.part);
    EXPECT_EQ(server_->request_count() - requests, c.exit_code == 0 ? c.requests : 0u);
    EXPECT_EQ((result.out + result.err).find("PRIVATE"), std::string::npos);
  }
  http.stop();
  listener.join();
}

}  // namespace

// Make directory, remove directory, delete, rename and checksum against the fake: the requests
// each path becomes, what the client is told, retry counts, the checksum's sources and cache,
// a download pinned to its ETag, and progress replies on a replaceable clock. The program is
// the host: it takes the module's command replies itself.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "module_test_hooks.h"

namespace {

struct Finished {
  bool done = false;
  vorlan_result_t result = VORLAN_SUCCESS;
  std::optional<std::string> text;
  std::vector<std::string> progress;
};
std::mutex finished_lock;
std::condition_variable finished_changed;
std::map<vorlan_gfs_operation_t, Finished> finished;
int update_interval = 0;

}  // namespace

extern "C" void vorlan_gridftp_server_finished_command(vorlan_gfs_operation_t op,
                                                       vorlan_result_t result, const char *text) {
  std::lock_guard<std::mutex> guard(finished_lock);
  Finished &f = finished[op];
  f.done = true;
  f.result = result;
  if (text != nullptr) f.text = text;
  finished_changed.notify_all();
}

extern "C" void vorlan_gridftp_server_intermediate_command(vorlan_gfs_operation_t op,
                                                           vorlan_result_t, const char *text) {
  std::lock_guard<std::mutex> guard(finished_lock);
  finished[op].progress.emplace_back(text);
}

extern "C" void vorlan_gridftp_server_get_update_interval(vorlan_gfs_operation_t, int *interval) {
  *interval = update_interval;
}

namespace vorlan::test {
namespace {

std::vector<unsigned long> sleeps;
void record_sleep(unsigned long usec) { sleeps.push_back(usec); }
int64_t ticks = 0;
int64_t ticking_clock() { return ++ticks; }

constexpr int kMkd = VORLAN_GFS_CMD_MKD, kRmd = VORLAN_GFS_CMD_RMD, kDele = VORLAN_GFS_CMD_DELE,
              kRnto = VORLAN_GFS_CMD_RNTO, kCksm = VORLAN_GFS_CMD_CKSM;
constexpr const char *kPlaceholder = "application/x-vorlan-dir-placeholder";

// What the client is told: "ok", or the reply code, error-type word and headers, then the
// error's text.
struct Outcome {
  std::string reply;
  std::optional<std::string> text;
  std::vector<std::string> progress;
};

struct Command {
  int code;
  std::string path;
  std::string from = "";
  std::string algorithm = "md5";
  int64_t offset = 0;
  int64_t length = -1;
};

std::string data_of(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
  return data;
}

// An object whose ETag is not its MD5, as a multipart upload leaves it.
FakeS3Object multipart(const std::string &data, const std::string &parts = "2") {
  FakeS3Object object;
  object.data = data;
  object.etag = "\"" + fake_s3_md5_hex("parts") + "-" + parts + "\"";
  return object;
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
    vorlan_i_s3_checksum_cache_init();
    vorlan_i_s3_sleep_us = record_sleep;
    ASSERT_EQ(vorlan_i_s3_config_parse_buckets(nullptr, R"({"buckets": ["b", "b2", "nb", "nb2"]})",
                                               "buckets", &handle_->allowed_buckets),
              VORLAN_SUCCESS);
    server_.create_bucket("b");
    server_.create_bucket("b2");
  }
  void TearDown() override {
    vorlan_i_s3_sleep_us = vorlan_libc_usleep;
    vorlan_i_s3_checksum_clock = saved_clock_;
    vorlan_i_s3_max_retries = 1;
    update_interval = 0;
    vorlan_i_s3_checksum_cache_destroy();
    S3_deinitialize();
  }

  Outcome run(const Command &c) {
    vorlan_gfs_command_info_t info{};
    info.command = c.code;
    info.pathname = const_cast<char *>(c.path.c_str());
    info.from_pathname = const_cast<char *>(c.from.c_str());
    info.cksm_alg = const_cast<char *>(c.algorithm.c_str());
    info.cksm_offset = c.offset;
    info.cksm_length = c.length;
    auto *op = reinterpret_cast<vorlan_gfs_operation_t>(&info);
    vorlan_i_s3_command(op, &info, handle_.get());
    std::unique_lock<std::mutex> guard(finished_lock);
    EXPECT_TRUE(finished_changed.wait_for(guard, std::chrono::seconds(60),
                                          [op] { return finished[op].done; }));
    const Finished f = finished[op];
    finished.erase(op);
    Outcome outcome{"ok", f.text, f.progress};
    if (f.result != VORLAN_SUCCESS) {
      const vorlan_object_t *error = vorlan_error_peek(f.result);
      outcome.reply = std::to_string(vorlan_gfs_error_get_ftp_response_code(error)) + " " +
                      vorlan_i_s3_str(vorlan_gfs_error_get_ftp_response_error_code(error)) + " " +
                      vorlan_i_s3_str(vorlan_gfs_error_get_ftp_response_headers(error)) + " | " +
                      error_text(f.result);
      vorlan_error_release(f.result);
    }
    return outcome;
  }
  // "METHOD bucket/key" of every request since the last call.
  std::vector<std::string> wire() {
    std::vector<std::string> lines;
    for (const RecordedRequest &r : server_.requests()) {
      lines.push_back(r.method + " " + r.bucket + "/" + r.key);
    }
    server_.clear_requests();
    return lines;
  }
  size_t count(const std::string &method) {
    const size_t n = server_.count(method);
    server_.clear_requests();
    return n;
  }

  FakeS3Server server_;
  HandlePtr handle_ = make_handle(server_.host());
  int64_t (*saved_clock_)() = vorlan_i_s3_checksum_clock;
};

TEST_F(Commands, NamespaceChangesSendTheirRequestsAndReplies) {
  FakeS3Object typed;
  typed.data = "typed";
  typed.content_type = "text/plain";
  typed.metadata = {{"mtime", "1700000000"}, {"md5", fake_s3_md5_base64("typed")}};
  const auto put_x = [&] { server_.put_object("b", "x", typed); };
  const auto region_of = [&](const std::string &bucket) {
    const std::string answer = send_raw_http(
        server_.port(), "HEAD /" + bucket + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const size_t at = answer.find("x-amz-bucket-region: ");
    return at == std::string::npos ? "" : answer.substr(at + 21, answer.find('\r', at) - at - 21);
  };
  const auto object_type = [&](const char *bucket, const char *key) {
    auto object = server_.object(bucket, key);
    return object ? object->content_type + " " + object->metadata["mtime"] : "<none>";
  };
  struct Case {
    const char *label;
    Command command;
    std::function<void()> setup;
    std::string reply;  // "ok", or a part of the reply
    std::vector<std::string> wire;
    std::function<void()> check = [] {};
  };
  const std::vector<Case> cases = {
      {"mkdir of a nested path writes only its placeholder",
       {kMkd, "/b/a/b"},
       [] {},
       "ok",
       {"PUT b/a/b/"},
       [&] {
         EXPECT_EQ(object_type("b", "a/b/"), std::string(kPlaceholder) + " ");
         EXPECT_EQ(server_.object("b", "a/b/")->data, "");
         EXPECT_FALSE(server_.object("b", "a/"));
       }},
      {"mkdir drops trailing slashes", {kMkd, "/b/d//"}, [] {}, "ok", {"PUT b/d/"}},
      {"mkdir of a bucket without a region",
       {kMkd, "/nb"},
       [] {},
       "ok",
       {"PUT nb/"},
       [&] { EXPECT_EQ(region_of("nb"), "us-east-1"); }},
      {"mkdir of a bucket with the session's region as its location",
       {kMkd, "/nb2/"},
       [&] { handle_->region = strdup("europe-west4"); },
       "ok",
       {"PUT nb2/"},
       [&] { EXPECT_EQ(region_of("nb2"), "europe-west4"); }},
      {"mkdir of a bucket the allow list refuses",
       {kMkd, "/other"},
       [] {},
       "Vorlan-S3-Error: Bucket not allowed.",
       {}},
      {"rmdir removes the placeholder and leaves the objects below",
       {kRmd, "/b/d/"},
       [&] {
         server_.put_object("b", "d/", "");
         server_.put_object("b", "d/x", "x");
       },
       "ok",
       {"DELETE b/d/"},
       [&] { EXPECT_TRUE(!server_.object("b", "d/") && server_.object("b", "d/x")); }},
      {"rmdir: a bare 404 means there was no placeholder",
       {kRmd, "/b/d"},
       [&] { server_.add_fault(FakeS3Fault::error(404, "").on("DELETE")); },
       "ok",
       {"DELETE b/d/"}},
      {"rmdir: NoSuchKey is an error",
       {kRmd, "/b/d"},
       [&] { server_.add_fault(FakeS3Fault::error(404, "NoSuchKey").on("DELETE")); },
       "550 PATH_NOT_FOUND GridFTP-Path: \"/b/d\"",
       {"DELETE b/d/"}},
      {"rmdir of a bucket", {kRmd, "/nb"}, [] {}, "ok", {"DELETE nb/"}},
      {"rmdir of a bucket the service finds not empty",
       {kRmd, "/b"},
       [&] { server_.add_fault(FakeS3Fault::error(409, "BucketNotEmpty").on("DELETE", "b", "")); },
       "ErrorBucketNotEmpty",
       {"DELETE b/"}},
      {"delete of a path that names a bucket", {kDele, "/b"}, [] {}, "System error in delete", {}},
      {"delete of an empty key", {kDele, "/b/"}, [] {}, "System error in delete", {}},
      {"delete of an object",
       {kDele, "/b/x"},
       put_x,
       "ok",
       {"DELETE b/x"},
       [&] { EXPECT_FALSE(server_.object("b", "x")); }},
      {"delete of a missing object where the service says so",
       {kDele, "/b/a/b"},
       [&] { server_.add_fault(FakeS3Fault::error(404, "NoSuchKey").on("DELETE")); },
       "550 PATH_NOT_FOUND GridFTP-Path: \"b/a/b\"",
       {"DELETE b/a/b"}},
      {"rename across buckets keeps the type and the metadata",
       {kRnto, "/b2/y", "/b/x"},
       put_x,
       "ok",
       {"PUT b2/y", "DELETE b/x"},
       [&] {
         EXPECT_EQ(object_type("b2", "y"), "text/plain 1700000000");
         EXPECT_EQ(server_.object("b2", "y")->metadata["md5"], typed.metadata["md5"]);
         EXPECT_FALSE(server_.object("b", "x"));
       }},
      {"rename onto itself",
       {kRnto, "/b/x", "/b/x"},
       put_x,
       "553 PATH_EXISTS GridFTP-Path: /b/x",
       {}},
      {"rename onto itself, spelled otherwise",
       {kRnto, "/b/x", "b/x"},
       put_x,
       "553 PATH_EXISTS GridFTP-Path: /b/x",
       {},
       [&] { EXPECT_TRUE(server_.object("b", "x")); }},
      {"rename of a bucket", {kRnto, "/b/y", "/b"}, [] {}, "Invalid source filename", {}},
      {"rename onto a bucket", {kRnto, "/b2/", "/b/x"}, put_x, "Invalid destination filename", {}},
      {"rename into a bucket the allow list refuses",
       {kRnto, "/other/y", "/b/x"},
       put_x,
       "550 PERMISSION_DENIED",
       {}},
      {"rename whose copy fails in its answer's body keeps the source",
       {kRnto, "/b2/y", "/b/x"},
       [&] {
         put_x();
         server_.add_fault(
             FakeS3Fault::raw(200, "<Error><Code>AccessDenied</Code></Error>").on("PUT"));
       },
       "550 PERMISSION_DENIED",
       {"PUT b2/y"},
       [&] { EXPECT_TRUE(server_.object("b", "x")); }},
      {"rename whose delete fails names the source and leaves both",
       {kRnto, "/b2/y", "/b/x"},
       [&] {
         put_x();
         server_.add_fault(FakeS3Fault::error(403, "AccessDenied").on("DELETE"));
       },
       "S3 Error accessing \"/b/x\"",
       {"PUT b2/y", "DELETE b/x"},
       [&] { EXPECT_TRUE(server_.object("b", "x") && server_.object("b2", "y")); }},
      {"rename of a missing object",
       {kRnto, "/b2/y", "/b/missing"},
       [] {},
       "550 PATH_NOT_FOUND GridFTP-Path: \"/b/missing\"",
       {"PUT b2/y"}},
      {"checksum of a bucket", {kCksm, "/b"}, [] {}, "System error in checksum", {}},
      {"checksum of an empty key", {kCksm, "/b/"}, [] {}, "System error in checksum", {}},
      {"checksum before the first byte",
       {kCksm, "/b/x", "", "md5", -1},
       put_x,
       "System error in checksum",
       {}},
      {"checksum of a length below -1",
       {kCksm, "/b/x", "", "md5", 0, -2},
       put_x,
       "System error in checksum",
       {}},
      {"checksum with another algorithm",
       {kCksm, "/b/x", "", "sha1"},
       put_x,
       "Unknown checksum algorithm \"sha1\"",
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    c.setup();
    wire();
    const Outcome outcome = run(c.command);
    EXPECT_NE(outcome.reply.find(c.reply), std::string::npos) << outcome.reply;
    EXPECT_EQ(wire(), c.wire);
    c.check();
    server_.clear_faults();
    std::free(handle_->region);
    handle_->region = nullptr;
  }
}

TEST_F(Commands, KeysReachTheServiceExactly) {
  const std::string key = "dir one/a b%41+?#\xc3\xa9";
  server_.put_object("b", key, "odd");
  const std::vector<std::pair<Command, std::vector<std::string>>> cases = {
      {{kMkd, "/b/" + key}, {"PUT b/" + key + "/"}},
      {{kRmd, "/b/" + key}, {"DELETE b/" + key + "/"}},
      {{kCksm, "/b/" + key}, {"HEAD b/" + key}},
      {{kRnto, "/b/" + key + "2", "/b/" + key}, {"PUT b/" + key + "2", "DELETE b/" + key}},
      {{kDele, "/b/" + key + "2"}, {"DELETE b/" + key + "2"}},
  };
  for (const auto &[command, requests] : cases) {
    SCOPED_TRACE(command.code);
    EXPECT_EQ(run(command).reply, "ok");
    EXPECT_EQ(wire(), requests);
  }
  for (const std::string &gone : {key, key + "/", key + "2"})
    EXPECT_FALSE(server_.object("b", gone));
}

// The checksum's metadata request is sent at most max_retries times, its download and every
// other request max_retries + 1 times; a non-retryable answer ends at once.
TEST_F(Commands, RetriesAreBoundedPerRequest) {
  server_.put_object("b", "x", multipart("data"));
  struct Case {
    Command command;
    FakeS3Fault fault;
    int32_t max_retries;
    std::map<std::string, size_t> requests;
  };
  const FakeS3Fault busy = FakeS3Fault::error(503, "").times(-1);
  const std::vector<Case> cases = {
      {{kMkd, "/b/d"}, FakeS3Fault(busy).on("PUT"), 0, {{"PUT", 1}}},
      {{kMkd, "/b/d"}, FakeS3Fault(busy).on("PUT"), 1, {{"PUT", 2}}},
      {{kMkd, "/b/d"}, FakeS3Fault(busy).on("PUT"), 3, {{"PUT", 4}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("HEAD"), 0, {{"HEAD", 1}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("HEAD"), 1, {{"HEAD", 1}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("HEAD"), 3, {{"HEAD", 3}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("GET"), 0, {{"HEAD", 1}, {"GET", 1}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("GET"), 1, {{"HEAD", 1}, {"GET", 2}}},
      {{kCksm, "/b/x"}, FakeS3Fault(busy).on("GET"), 3, {{"HEAD", 1}, {"GET", 4}}},
      {{kRnto, "/b/y", "/b/x"}, FakeS3Fault(busy).on("PUT"), 3, {{"PUT", 4}}},
      {{kRmd, "/b/d"},
       FakeS3Fault::error(403, "AccessDenied").times(-1).on("DELETE"),
       3,
       {{"DELETE", 1}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "command " << c.command.code << " max_retries " << c.max_retries);
    vorlan_i_s3_max_retries = c.max_retries;
    server_.add_fault(c.fault);
    sleeps.clear();
    EXPECT_NE(run(c.command).reply, "ok");
    std::map<std::string, size_t> requests;
    for (const RecordedRequest &r : server_.requests()) ++requests[r.method];
    EXPECT_EQ(requests, c.requests);
    size_t attempts = 0;
    for (const auto &[method, n] : requests) attempts = std::max(attempts, n);
    EXPECT_EQ(sleeps.size(), attempts - 1);
    if (attempts == 4) {
      EXPECT_EQ(sleeps, (std::vector<unsigned long>{100000, 200000, 400000}));
    }
    server_.clear_faults();
    server_.clear_requests();
  }
}

// Each answer is checked against the MD5 of the bytes; only a whole object's download is cached.
TEST_F(Commands, ChecksumTakesTheCheapestTrueSource) {
  const std::string data = data_of(300000), md5 = fake_s3_md5_hex(data);
  std::string upper = md5;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  FakeS3Object plain, upper_etag, hex_meta = multipart(data), base64_meta = multipart(data),
                                  bad_meta;
  plain.data = upper_etag.data = bad_meta.data = data;
  upper_etag.etag = "\"" + upper + "\"";
  hex_meta.metadata["md5"] = md5;
  base64_meta.metadata["md5"] = fake_s3_md5_base64(data);
  bad_meta.metadata["md5"] = std::string(32, 'z');
  struct Case {
    const char *label;
    FakeS3Object object;
    int64_t offset, length;
    std::vector<size_t> gets;  // per run
  };
  const auto size = static_cast<int64_t>(data.size());
  const std::vector<Case> cases = {
      {"an ETag that is the MD5", plain, 0, -1, {0}},
      {"an ETag in upper case", upper_etag, 0, -1, {0}},
      {"hexadecimal md5 metadata", hex_meta, 0, -1, {0}},
      {"base64 md5 metadata", base64_meta, 0, -1, {0}},
      {"metadata that is no MD5 outweighs the ETag", bad_meta, 0, -1, {1, 0}},
      {"a multipart object: downloaded, then cached", multipart(data), 0, -1, {1, 0}},
      {"the object's length as a range may use the ETag", plain, 0, size, {0}},
      {"the object's length as a range is not cached", multipart(data), 0, size, {1, 1}},
      {"a range from 100", plain, 100, -1, {1, 1}},
      {"a bounded range", multipart(data), 10, 1000, {1}},
      {"no bytes", multipart(data), 5, 0, {0}},
      {"no bytes at the end", multipart(data), size, -1, {0}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    vorlan_i_s3_checksum_cache_destroy();
    vorlan_i_s3_checksum_cache_init();
    server_.put_object("b", "x", c.object);
    const std::string expected =
        fake_s3_md5_hex(data.substr(c.offset, c.length == -1 ? std::string::npos : c.length));
    for (size_t gets : c.gets) {
      const Outcome outcome = run({kCksm, "/b/x", "", "MD5", c.offset, c.length});
      EXPECT_EQ(outcome.reply, "ok");
      EXPECT_EQ(outcome.text, expected);
      for (const RecordedRequest &r : server_.requests()) {
        if (r.method != "GET") continue;
        EXPECT_EQ(r.header("if-match"), c.object.etag.empty() ? "\"" + md5 + "\"" : c.object.etag);
        if (c.offset != 0) {
          EXPECT_EQ(r.header("range").find("bytes=" + std::to_string(c.offset)), 0u);
        }
      }
      EXPECT_EQ(count("GET"), gets);
    }
  }
}

// The cache answers only for the path, ETag and size it was given; a download that breaks
// resumes under its ETag, and an object that changes meanwhile is never digested as one.
TEST_F(Commands, ChecksumDownloadsArePinnedToTheirETag) {
  const std::string data = data_of(700000), other = data_of(600000);
  server_.put_object("b", "x", multipart(data));
  server_.add_fault(FakeS3Fault::reset_after(200000).on("GET"));
  EXPECT_EQ(run({kCksm, "/b/x"}).text, fake_s3_md5_hex(data));
  const std::vector<RecordedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_GT(std::stoll(requests[2].header("range").substr(6)), 0);
  EXPECT_EQ(requests[2].header("if-match"), multipart(data).etag);
  server_.clear_requests();

  struct Case {
    const char *label;
    FakeS3Object object;
    std::string answer;
    size_t gets;
  };
  const std::vector<Case> cases = {
      {"cached", multipart(data), fake_s3_md5_hex(data), 0},
      {"same ETag, another size", multipart(other), fake_s3_md5_hex(other), 1},
      {"same size, another ETag", multipart(other, "3"), fake_s3_md5_hex(other), 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server_.put_object("b", "x", c.object);
    EXPECT_EQ(run({kCksm, "/b/x"}).text, c.answer);
    EXPECT_EQ(count("GET"), c.gets);
  }

  vorlan_i_s3_checksum_cache_destroy();
  vorlan_i_s3_checksum_cache_init();
  server_.add_fault(FakeS3Fault::delay_by(std::chrono::milliseconds(0)).on("HEAD").then([&] {
    server_.put_object("b", "x", multipart(data, "4"));
  }));
  const Outcome changed = run({kCksm, "/b/x"});
  EXPECT_NE(changed.reply.find("changed during the checksum"), std::string::npos) << changed.reply;
  EXPECT_FALSE(changed.text);
}

TEST_F(Commands, ChecksumProgressFollowsTheUpdateInterval) {
  const std::string data = data_of(1 << 20);
  server_.put_object("b", "x", multipart(data));
  vorlan_i_s3_checksum_clock = ticking_clock;
  for (int interval : {0, 1, 3}) {
    SCOPED_TRACE(interval);
    update_interval = interval;
    ticks = 0;
    vorlan_i_s3_checksum_cache_destroy();
    vorlan_i_s3_checksum_cache_init();
    const Outcome outcome = run({kCksm, "/b/x"});
    EXPECT_EQ(outcome.text, fake_s3_md5_hex(data));
    // The clock is read once before the download, then once per piece while progress is due.
    const size_t expected = interval == 0 ? 0 : static_cast<size_t>((ticks - 1) / interval);
    EXPECT_EQ(outcome.progress.size(), expected);
    if (interval != 0) {
      EXPECT_GT(ticks, 10);
    }
    int64_t last = 0;
    for (const std::string &reply : outcome.progress) {
      EXPECT_GT(std::stoll(reply), last);
      last = std::stoll(reply);
    }
    EXPECT_LE(last, static_cast<int64_t>(data.size()));
  }
}

}  // namespace
}  // namespace vorlan::test

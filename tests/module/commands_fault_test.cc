// Make directory, remove directory, delete, rename and checksum against the fake: the requests
// each path becomes and the reply (a code without a handler: a failure at once), exact keys, retry
// counts, the checksum's sources and cache, a download pinned to its ETag, and progress on a
// replaceable clock. The program is the host: it takes the module's command replies itself.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_s3_server.h"
#include "module_test_hooks.h"

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {
struct Finished {
  bool done = false, has_text = false;
  vorlan_gfs_operation_t op = nullptr;
  vorlan_result_t result = VORLAN_SUCCESS;
  std::string text;  // the reply text, or the failure's control-channel reply
  std::vector<std::string> progress;
};
// The one command running: each test runs one at a time.
std::mutex finished_lock;
std::condition_variable finished_changed;
Finished finished;
int update_interval = 0;
}  // namespace

extern "C" void vorlan_gridftp_server_finished_command(vorlan_gfs_operation_t op,
                                                       vorlan_result_t result, const char *text) {
  std::lock_guard<std::mutex> guard(finished_lock);
  finished.done = true;
  finished.has_text = text != nullptr;
  finished.op = op;
  finished.result = result;
  finished.text = text != nullptr ? text : "";
  finished_changed.notify_all();
}
extern "C" void vorlan_gridftp_server_intermediate_command(vorlan_gfs_operation_t, vorlan_result_t,
                                                           const char *text) {
  std::lock_guard<std::mutex> guard(finished_lock);
  finished.progress.emplace_back(text);
}
extern "C" void vorlan_gridftp_server_get_update_interval(vorlan_gfs_operation_t, int *interval) {
  *interval = update_interval;
}

namespace vorlan::test {
namespace {

void no_sleep(unsigned long) {}
int64_t ticks = 0;
int64_t ticking_clock() { return ++ticks; }

constexpr int kMkd = VORLAN_GFS_CMD_MKD, kRmd = VORLAN_GFS_CMD_RMD, kDele = VORLAN_GFS_CMD_DELE,
              kRnto = VORLAN_GFS_CMD_RNTO, kCksm = VORLAN_GFS_CMD_CKSM;

struct Command {
  int code;
  std::string path, from = "", algorithm = "md5";
  int64_t offset = 0, length = -1;
};

std::string data_of(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + (i >> 10));
  return data;
}

// An object whose ETag is not its MD5, as a multipart upload leaves it.
FakeS3Object multipart(const std::string &data, const std::string &parts = "2") {
  return {.data = data, .etag = "\"" + fake_s3_md5_hex("parts") + "-" + parts + "\""};
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S3_initialize(nullptr, S3_INIT_ALL, nullptr), S3StatusOK);
    env_->sleep_us = no_sleep;
    ASSERT_EQ(vorlan_i_s3_config_parse_buckets(nullptr, R"({"buckets": ["b", "b2", "nb", "nb2"]})",
                                               "buckets", &handle_->allowed_buckets),
              VORLAN_SUCCESS);
    server_.create_bucket("b");
    server_.create_bucket("b2");
  }
  void TearDown() override {
    vorlan_i_s3_max_retries = 1;
    S3_deinitialize();
  }
  // Runs the command to its end, with a fresh checksum cache or the one there is.
  Finished run(const Command &c, bool fresh_cache = false) {
    if (fresh_cache) vorlan_i_s3_checksum_cache_destroy();
    vorlan_i_s3_checksum_cache_init();
    auto text = [](const std::string &value) { return const_cast<char *>(value.c_str()); };
    vorlan_gfs_command_info_t info{c.code,   text(c.path), text(c.from), text(c.algorithm),
                                   c.offset, c.length};
    finished = {};
    vorlan_i_s3_command(reinterpret_cast<vorlan_gfs_operation_t>(&info), &info, handle_.get());
    std::unique_lock<std::mutex> guard(finished_lock);
    EXPECT_TRUE(
        finished_changed.wait_for(guard, std::chrono::seconds(60), [] { return finished.done; }));
    // The worker still returns after its report; what the case does next must not race it.
    guard.unlock();
    EXPECT_EQ(vorlan_i_s3_workers_wait(60000), 0);
    Finished f = finished;
    if (f.result != VORLAN_SUCCESS) {
      char *reply = vorlan_gfs_error_to_reply(vorlan_error_peek(f.result));
      f.text = reply;
      std::free(reply);
      vorlan_error_release(f.result);
    }
    return f;
  }
  // "METHOD bucket/key" of every request since the last call.
  std::vector<std::string> wire() {
    std::vector<std::string> lines;
    for (const RecordedRequest &r : server_.requests())
      lines.push_back(r.method + " " + r.bucket + "/" + r.key);
    server_.clear_requests();
    return lines;
  }
  // "bucket/key=content type[ +meta]" for an object ("-" when absent; +meta: the typed
  // object's metadata), "bucket@region" for a bucket.
  std::string state(const std::string &entry, const FakeS3Object &typed) const {
    const size_t at = entry.find('@'), slash = entry.find('/'), end = entry.find('=');
    if (at != std::string::npos) {
      const std::string head =
          send_raw_http(server_.port(),
                        "HEAD /" + entry.substr(0, at) + " HTTP/1.1\r\nConnection: close\r\n\r\n");
      const size_t region = head.find("x-amz-bucket-region: ") + 21;
      return entry.substr(0, at + 1) + head.substr(region, head.find('\r', region) - region);
    }
    auto object = server_.object(entry.substr(0, slash), entry.substr(slash + 1, end - slash - 1));
    const std::string meta = object && object->metadata == typed.metadata ? " +meta" : "";
    return entry.substr(0, end + 1) + (object ? object->content_type + meta : "-");
  }

  vorlan::test::ScopedEnv env_;
  FakeS3Server server_;
  HandlePtr handle_ = make_handle(server_.host());
};

// Each case starts with b/x (typed, with metadata), the placeholder b/d/ and b/d/x; b/x stays
// unless a case moves or deletes it. The odd key reaches the service exactly for every command.
TEST_F(Commands, NamespaceChangesSendTheirRequestsAndReplies) {
  const FakeS3Object typed{
      .data = "typed",
      .content_type = "text/plain",
      .metadata = {{"mtime", "1700000000"}, {"md5", fake_s3_md5_base64("typed")}}};
  const std::string odd = "dir one/a b%41+?#\xc3\xa9", dir = "application/x-vorlan-dir-placeholder";
  const FakeS3Fault bare_404 = FakeS3Fault::error(404, "").on("DELETE");
  const FakeS3Fault no_such_key = FakeS3Fault::error(404, "NoSuchKey").on("DELETE");
  const FakeS3Fault not_empty = FakeS3Fault::error(409, "BucketNotEmpty").on("DELETE", "b", "");
  const FakeS3Fault copy_fails =
      FakeS3Fault::raw(200, "<Error><Code>AccessDenied</Code></Error>").on("PUT");
  const FakeS3Fault delete_fails = FakeS3Fault::error(403, "AccessDenied").on("DELETE");
  const FakeS3Fault unsized = FakeS3Fault::real_answer().unmeasured().on("HEAD");
  // A version written between a rename's copy and its delete.
  FakeS3Object newer = typed;
  newer.data = "newer";
  auto write = [&] { server_.put_object("b", "x", newer); };
  const FakeS3Fault rewrite = FakeS3Fault::real_answer().on("PUT", "b2").then(write),
                    replace = FakeS3Fault::real_answer().on("HEAD").then(write);
  struct Case {
    const char *label;
    Command command;
    std::optional<FakeS3Fault> fault;
    std::string reply;  // a part of it
    std::vector<std::string> wire, states = {};
    const char *region = nullptr;  // the session's
    char session = 0;  // 't': a token (Google Cloud's dialect); 'k': a key pair (S3's, signed)
  };
  const std::string moved = "text/plain +meta", placed = "b/d/=binary/octet-stream",
                    nf = "550-GridFTP-Path: ", range = "553-Error-Type: APPEND_NOT_SUPPORTED";
  const std::vector<std::string> read_x = {"HEAD b/x", "GET b/x"};
  // A rename reads the source's version before the copy and, unless the delete names the
  // generation, again before the delete; a version written in between stays beside the copy.
  auto mv = [](const std::string &to) {
    return std::vector<std::string>{"HEAD b/x", "PUT " + to, "HEAD b/x", "DELETE b/x"};
  };
  const Command to_y = {kRnto, "/b2/y", "/b/x"};
  char token[] = "t", key[] = "k";
  const std::vector<std::string> y_moved = {"b2/y=" + moved},
                                 by_generation = {"HEAD b/x", "PUT b2/y", "DELETE b/x"},
                                 kept = {"HEAD b/x", "PUT b2/y", "HEAD b/x"},
                                 copied_twice = {"HEAD b/x", "PUT b2/y", "HEAD b/x", "PUT b2/y",
                                                 "DELETE b/x"};
  std::vector<std::string> read_twice = copied_twice;
  read_twice.insert(read_twice.end() - 1, "HEAD b/x");
  const std::string both =
      "\"/b/x\" changed during the rename to \"/b2/y\": both objects now exist";
  const std::vector<Case> cases = {
      {"mkdir nested", {kMkd, "/b/a/b"}, {}, "", {"PUT b/a/b/"}, {"b/a/b/=" + dir, "b/a/=-"}},
      {"mkdir trims", {kMkd, "/b/e//"}, {}, "", {"PUT b/e/"}, {"b/e/=" + dir}},
      {"mkdir bucket", {kMkd, "/nb"}, {}, "", {"PUT nb/"}, {"nb@us-east-1"}},
      {"mkdir located", {kMkd, "/nb2/"}, {}, "", {"PUT nb2/"}, {"nb2@loc-1"}, "loc-1"},
      {"mkdir refused", {kMkd, "/other"}, {}, "Bucket not allowed.", {}},
      {"rmdir", {kRmd, "/b/d/"}, {}, "", {"DELETE b/d/"}, {"b/d/=-", "b/d/x=binary/octet-stream"}},
      {"rmdir bare 404", {kRmd, "/b/d"}, bare_404, "", {"DELETE b/d/"}},
      {"rmdir NoSuchKey", {kRmd, "/b/d"}, no_such_key, nf + "\"/b/d\"", {"DELETE b/d/"}},
      {"rmdir bucket", {kRmd, "/nb"}, {}, "", {"DELETE nb/"}},
      {"rmdir full bucket", {kRmd, "/b"}, not_empty, "ErrorBucketNotEmpty", {"DELETE b/"}},
      {"delete bucket", {kDele, "/b"}, {}, "System error in delete", {}},
      {"delete", {kDele, "/b/x"}, {}, "", {"DELETE b/x"}},
      {"delete missing", {kDele, "/b/a"}, no_such_key, nf + "\"b/a\"", {"DELETE b/a"}},
      {"delete dir key", {kDele, "/b/d/"}, {}, "System error in delete", {}, {placed}},
      {"mv", {kRnto, "/b2/y", "/b/x"}, {}, "", mv("b2/y"), {"b2/y=" + moved}},
      {"mv onto itself", {kRnto, "/b/x", "/b/x"}, {}, "553-GridFTP-Path: /b/x", {}},
      {"mv same key", {kRnto, "/b/x", "b/x"}, {}, "553-GridFTP-Path: /b/x", {}},
      {"mv bucket", {kRnto, "/b/y", "/b"}, {}, "Invalid source filename", {}},
      {"mv onto bucket", {kRnto, "/b2/", "/b/x"}, {}, "Invalid destination filename", {}},
      {"mv dir key", {kRnto, "/b2/y", "/b/d/"}, {}, "Invalid source filename", {}, {placed}},
      {"mv onto dir key", {kRnto, "/b/y/", "/b/x"}, {}, "Invalid destination filename", {}},
      {"mv refused", {kRnto, "/other/y", "/b/x"}, {}, "550-Error-Type: PERMISSION", {}},
      {"mv, copy fails in its body", to_y, copy_fails, "550-", {"HEAD b/x", "PUT b2/y"}},
      {"mv, no delete", {kRnto, "/b2/z", "/b/x"}, delete_fails, "/b/x", mv("b2/z")},
      {"mv missing", {kRnto, "/b2/y", "/b/no"}, {}, nf + "\"/b/no\"", {"HEAD b/no"}},
      {"mv signed, rewritten", to_y, rewrite, both, kept, y_moved, nullptr, 'k'},
      {"mv signed, replaced before the copy", to_y, replace, "", read_twice, y_moved, nullptr, 'k'},
      {"mv by generation, rewritten", to_y, rewrite, both, by_generation, y_moved, nullptr, 't'},
      {"mv by generation, replaced before the copy", to_y, replace, "", copied_twice, y_moved,
       nullptr, 't'},
      {"cksum bucket", {kCksm, "/b/"}, {}, "System error in checksum", {}},
      {"cksum dir key", {kCksm, "/b/d/"}, {}, "System error in checksum", {}},
      {"cksum offset", {kCksm, "/b/x", "", "md5", -1}, {}, "System error in checksum", {}},
      {"cksum length", {kCksm, "/b/x", "", "md5", 0, -2}, {}, "System error in checksum", {}},
      {"cksum crc32", {kCksm, "/b/x", "", "crc32"}, {}, "Unknown checksum algorithm \"crc32\"", {}},
      // A range the object does not cover fails as one from its end, stated size or not.
      {"cksum from the end", {kCksm, "/b/x", "", "md5", 5, 2}, {}, range, read_x},
      {"cksum past the end", {kCksm, "/b/x", "", "md5", 4, 2}, {}, range, read_x},
      {"cksum past an unstated end", {kCksm, "/b/x", "", "md5", 4, 2}, unsized, range, read_x},
      {"odd mkdir", {kMkd, "/b/" + odd}, {}, "", {"PUT b/" + odd + "/"}},
      {"odd rmdir", {kRmd, "/b/" + odd}, {}, "", {"DELETE b/" + odd + "/"}},
      {"odd mv", {kRnto, "/b/" + odd, "/b/x"}, {}, "", mv("b/" + odd)},
      {"odd cksum", {kCksm, "/b/" + odd}, {}, "", {"HEAD b/" + odd}},
      {"odd rm", {kDele, "/b/" + odd}, {}, "", {"DELETE b/" + odd}, {"b/" + odd + "=-"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    server_.put_object("b", "x", typed);
    server_.put_object("b", "d/", "");
    server_.put_object("b", "d/x", "x");
    if (c.fault) server_.add_fault(*c.fault);
    handle_->region = c.region != nullptr ? strdup(c.region) : nullptr;
    handle_->security_token = handle_->access_token = c.session == 't' ? token : nullptr;
    handle_->secret_key = handle_->key_id = c.session == 'k' ? key : nullptr;
    handle_->default_key_pair = {handle_->key_id, handle_->secret_key};
    wire();
    const std::string reply = run(c.command).text;
    EXPECT_NE(reply.find(c.reply), std::string::npos) << reply;
    EXPECT_EQ(wire(), c.wire);
    std::vector<std::string> states = c.states;
    const bool deleted = c.reply.empty() && !c.wire.empty() && c.wire.back() == "DELETE b/x";
    states.push_back(deleted ? "b/x=-" : "b/x=text/plain +meta");
    for (const std::string &expected : states) EXPECT_EQ(state(expected, typed), expected);
    server_.clear_faults();
    std::free(handle_->region);
    handle_->access_token = handle_->key_id = handle_->secret_key = nullptr;  // not the handle's
  }
}

TEST_F(Commands, CodesWithoutAHandlerFailAtOnceWithoutText) {
  for (int code : {7, 0, -1, 99}) {
    SCOPED_TRACE(code);
    finished = {};
    vorlan_gfs_command_info_t info{code, const_cast<char *>("/b/k")};
    auto *op = reinterpret_cast<vorlan_gfs_operation_t>(&info);
    vorlan_i_s3_command(op, &info, handle_.get());
    EXPECT_TRUE(finished.done && finished.op == op && !finished.has_text);
    EXPECT_EQ(static_cast<uint32_t>(finished.result), 0xFFFFFFFFu);
  }
  EXPECT_EQ(server_.request_count(), 0u);
}

// The checksum's metadata request is sent at most max_retries times, its download and every
// other request max_retries + 1 times; a non-retryable answer ends at once.
TEST_F(Commands, RetriesAreBoundedPerRequest) {
  server_.put_object("b", "x", multipart("data"));
  const FakeS3Fault busy = FakeS3Fault::error(503, "").times(-1);
  const FakeS3Fault denied = FakeS3Fault::error(403, "AccessDenied").times(-1);
  struct Case {
    Command command;
    FakeS3Fault fault;
    const char *method;
    std::vector<size_t> attempts;  // with max_retries 0, 1, 3
  } cases[] = {
      {{kMkd, "/b/d"}, busy, "PUT", {1, 2, 4}},
      {{kCksm, "/b/x"}, busy, "HEAD", {1, 1, 3}},
      {{kCksm, "/b/x"}, busy, "GET", {1, 2, 4}},
      {{kRnto, "/b/y", "/b/x"}, busy, "DELETE", {1, 2, 4}},
      {{kRmd, "/b/d"}, denied, "DELETE", {1, 1, 1}},
  };
  for (const Case &c : cases) {
    for (int32_t max_retries : {0, 1, 3}) {
      SCOPED_TRACE(testing::Message() << c.method << " with max_retries " << max_retries);
      vorlan_i_s3_max_retries = max_retries;
      server_.add_fault(FakeS3Fault(c.fault).on(c.method));
      EXPECT_NE(run(c.command, true).result, VORLAN_SUCCESS);
      EXPECT_EQ(server_.count(c.method), c.attempts[max_retries == 3 ? 2 : max_retries]);
      server_.clear_faults();
      wire();
    }
  }
}

// Each case runs its commands in turn, the first on a fresh cache; each answers the value of its
// bytes with one HEAD. A whole object's value comes from what the service keeps, then metadata,
// then the cache, reading no byte of the object; otherwise the bytes are read under the ETag, and
// a whole object's read caches every algorithm. A download that breaks resumes; an object that
// changes meanwhile is not digested as one.
TEST_F(Commands, ChecksumTakesTheCheapestTrueSource) {
  using Goog = FakeS3Server::GoogHash;
  FakeS3Server separate({.goog_hash = Goog::kSeparate}),
      md5_first({.goog_hash = Goog::kOneHeaderMd5First}), amz({.amz_checksum = true});
  for (FakeS3Server *server : {&separate, &md5_first, &amz}) server->create_bucket("b");
  const std::string data = data_of(300000), md5 = fake_s3_md5_hex(data);
  std::string upper = md5;
  for (char &c : upper) c = static_cast<char>(std::toupper(c));
  const FakeS3Object plain{.data = data}, upper_etag{.data = data, .etag = "\"" + upper + "\""},
      claim{.data = data, .metadata = {{"md5", fake_s3_md5_hex("another")}}};
  const FakeS3Object parts = multipart(data);
  FakeS3Object hex_meta = parts, base64_meta = parts, claims = parts, stored = parts,
               crc_claim = parts;
  hex_meta.metadata["md5"] = md5;
  base64_meta.metadata["md5"] = fake_s3_md5_base64(data);
  claims.metadata = {{"adler32", reference_checksum("adler32", data)},
                     {"crc32c", reference_checksum("crc32c", data)},
                     {"md5chksum", fake_s3_md5_base64(data)}};
  stored.crc32c = fake_s3_crc32c_base64(data);
  crc_claim.metadata = {{"crc32c", "00000000"}};
  const auto size = static_cast<int64_t>(data.size());
  FakeS3Fault unsized = FakeS3Fault::real_answer().unmeasured().on("HEAD").times(-1),
              reset = FakeS3Fault::reset_after(200000).on("GET"),
              replaced = FakeS3Fault::delay_by(std::chrono::milliseconds(0)).on("HEAD");
  replaced.then([&] { server_.put_object("b", "x", multipart(data, "4")); });
  const std::vector<std::string> all = {"md5", "adler32", "crc32c"};
  struct Case {
    const char *label;
    FakeS3Object object;
    int64_t offset, length;
    std::vector<size_t> gets;                       // per command
    std::vector<std::string> algorithms = {"MD5"};  // command i asks for algorithms[i % size]
    FakeS3Server *server = nullptr;                 // null: server_
    std::optional<FakeS3Fault> fault = {};
    const char *error = nullptr;  // part of the reply; null: the bytes' value
  } cases[] = {
      {"an ETag that is the MD5, then a read", plain, 0, -1, {0, 1, 0}, all},
      {"an ETag in upper case", upper_etag, 0, -1, {0}},
      {"hexadecimal md5 metadata", hex_meta, 0, -1, {0}},
      {"base64 md5 metadata", base64_meta, 0, -1, {0}},
      {"adler32, crc32c and md5chksum metadata", claims, 0, -1, {0, 0, 0}, all},
      {"crc32c in its own x-goog-hash", parts, 0, -1, {0}, {"crc32c"}, &separate},
      {"crc32c after md5 in one x-goog-hash", plain, 0, -1, {0}, {"CRC32C"}, &md5_first},
      {"x-amz-checksum-crc32c", stored, 0, -1, {0}, {"Crc32c"}, &amz},
      {"a multipart object: read, then cached", parts, 0, -1, {1, 0, 0}, all},
      {"the object's length as a range is not cached", parts, 0, size, {1, 1}},
      {"ranges are read", plain, 100, -1, {1, 1}, {"MD5", "crc32c"}, &separate},
      {"a bounded range", parts, 10, 1000, {1, 1, 1}, all},
      {"no bytes", parts, 5, 0, {0, 0, 0}, all},
      {"no bytes at the end", parts, size, -1, {0, 0, 0}, all},
      {"a size not stated is no size 0", parts, 0, -1, {1, 1}, {"MD5"}, {}, unsized},
      {"a download reset midway: resumed", parts, 0, -1, {2}, {"MD5"}, {}, reset},
      {"replaced after the HEAD", parts, 0, -1, {1}, {"MD5"}, {}, replaced, "changed during"},
      {"an md5 claim that differs from the ETag: the ETag, with a warning", claim, 0, -1, {0}},
      {"a crc32c claim that differs: the service's", crc_claim, 0, -1, {0}, {"crc32c"}, &separate},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    FakeS3Server &server = c.server != nullptr ? *c.server : server_;
    handle_ = make_handle(server.host());
    server.put_object("b", "x", c.object);
    if (c.fault) server.add_fault(*c.fault);
    const std::string etag = c.object.etag.empty() ? "\"" + md5 + "\"" : c.object.etag;
    const std::string bytes = data.substr(c.offset, c.length == -1 ? data.npos : c.length);
    for (size_t i = 0; i < c.gets.size(); ++i) {
      const std::string &algorithm = c.algorithms[i % c.algorithms.size()];
      CapturedLog log(VORLAN_S3_DEBUG_WARN);
      const uint64_t sent = server.body_bytes_sent();
      const Finished f = run({kCksm, "/b/x", "", algorithm, c.offset, c.length}, i == 0);
      EXPECT_EQ(log.take().find(" WARN: ") != std::string::npos,
                c.object.metadata == claim.metadata || c.object.metadata == crc_claim.metadata);
      const std::string value = reference_checksum(algorithm, bytes);
      EXPECT_TRUE(c.error ? f.text.find(c.error) != std::string::npos : f.text == value) << f.text;
      for (const RecordedRequest &r : server.requests()) {
        if (r.method != "GET") continue;
        EXPECT_EQ(r.header("if-match"), etag);
        EXPECT_EQ(r.header("range").find("bytes=" + std::to_string(c.offset) + "-"),
                  c.offset == 0 && c.length == -1 ? std::string::npos : 0u);
      }
      EXPECT_EQ(server.count("HEAD"), 1u);
      EXPECT_EQ(server.count("GET"), c.gets[i]);
      EXPECT_TRUE(c.gets[i] > 0 || server.body_bytes_sent() == sent);
      server.clear_requests();
    }
    server.clear_faults();
  }
}

// The clock is read once before the download, then once per piece while progress is due.
TEST_F(Commands, ChecksumProgressFollowsTheUpdateInterval) {
  const std::string data = data_of(1 << 20);
  server_.put_object("b", "x", multipart(data));
  env_->checksum_clock = ticking_clock;
  for (int interval : {0, 1, 3}) {
    SCOPED_TRACE(interval);
    update_interval = interval;
    ticks = 0;
    const Finished f = run({kCksm, "/b/x"}, true);
    EXPECT_EQ(f.text, fake_s3_md5_hex(data));
    EXPECT_EQ(f.progress.size(), interval == 0 ? 0 : static_cast<size_t>((ticks - 1) / interval));
    EXPECT_GT(ticks, interval == 0 ? 0 : 10);
    for (size_t i = 0; i < f.progress.size(); ++i) {
      EXPECT_LT(std::stoll(i == 0 ? "0" : f.progress[i - 1]), std::stoll(f.progress[i]));
      EXPECT_LE(std::stoull(f.progress[i]), data.size());
    }
  }
  update_interval = 0;
}

}  // namespace
}  // namespace vorlan::test

#include "fake_s3_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <isa-l/crc.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "token_bucket.h"
#include "xml_documents.h"

#if defined(__SANITIZE_THREAD__)
// libcpp-httplib is not built with ThreadSanitizer, so the synchronisation inside it (inlined
// atomics, guards of function-local statics) is invisible and its worker threads look racy.
// The client library under test never runs on those threads; races there are still reported.
extern "C" const char *__tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
#endif

namespace vorlan::test {
namespace {

// An element holding `value` as text.
std::string tag(const std::string &name, const std::string &value) {
  return "<" + name + ">" + vorlan_s3::xml_escape(value) + "</" + name + ">";
}

constexpr uint64_t kGeneratedPeriod = FakeS3Server::kGeneratedPeriod;
constexpr size_t kWriteChunk = size_t{256} * 1024;
constexpr const char *kXmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string lower(std::string text) {
  for (auto &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Decodes %XX exactly once; '+' is a plain character, as it is in S3 paths.
std::string percent_decode(const std::string &text) {
  return httplib::detail::decode_url(text, false);
}

// RFC 3986 unreserved characters stay, everything else is %XX (upper case), '/' optionally.
// The verifier's own copy: checking the client with the client's encoder would prove nothing.
std::string uri_encode(const std::string &text, bool keep_slash) {
  static const char *digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out += {'%', digits[c >> 4], digits[c & 15]};
    }
  }
  return out;
}

std::string hex(const std::string &bytes) {
  static const char *digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

std::string base64(const std::string &bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(written));
  return out;
}

// Incremental digest over one EVP algorithm.
struct Digest {
  explicit Digest(const EVP_MD *md) { EVP_DigestInit_ex(ctx.get(), md, nullptr); }
  void update(const char *data, size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
  std::string finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx.get(), out, &size);
    return {reinterpret_cast<char *>(out), size};
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
};

std::string digest_of(const EVP_MD *md, const std::string &data) {
  Digest digest(md);
  digest.update(data.data(), data.size());
  return digest.finish();
}

// The standard CRC32C, extended by `size` bytes (ISA-L neither inverts seed nor result).
uint32_t crc32c_extend(uint32_t crc, const char *data, size_t size) {
  auto *bytes = reinterpret_cast<unsigned char *>(const_cast<char *>(data));
  while (size > 0) {
    const size_t piece = std::min<size_t>(size, 1 << 30);
    crc = ~crc32_iscsi(bytes, static_cast<int>(piece), ~crc);
    bytes += piece;
    size -= piece;
  }
  return crc;
}

std::string crc32c_base64(uint32_t crc) {
  const std::string bytes = {static_cast<char>(crc >> 24), static_cast<char>(crc >> 16),
                             static_cast<char>(crc >> 8), static_cast<char>(crc)};
  return base64(bytes);
}

// The CRC32C a request says its body has: x-amz-checksum-crc32c, else an x-goog-hash
// "crc32c=" item (headers may repeat, items are comma-separated); "" when none.
std::string sent_crc32c(const RecordedRequest &record) {
  if (record.has_header("x-amz-checksum-crc32c")) return record.header("x-amz-checksum-crc32c");
  const auto [first, last] = record.headers.equal_range("x-goog-hash");
  for (auto header = first; header != last; ++header) {
    std::string_view items = header->second;
    while (!items.empty()) {
      const size_t comma = std::min(items.find(','), items.size());
      std::string_view item = items.substr(0, comma);
      items.remove_prefix(std::min(comma + 1, items.size()));
      while (item.starts_with(' ')) item.remove_prefix(1);
      if (item.starts_with("crc32c=")) return std::string(item.substr(7));
    }
  }
  return "";
}

std::string hmac_sha256(const std::string &key, const std::string &data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, &size);
  return {reinterpret_cast<char *>(out), size};
}

// A UTC time as RFC 1123 (HTTP headers) or, with `iso`, ISO 8601 (XML documents).
std::string utc_text(int64_t seconds, bool iso = true) {
  auto t = static_cast<time_t>(seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buffer[64];
  strftime(buffer, sizeof buffer, iso ? "%Y-%m-%dT%H:%M:%S.000Z" : "%a, %d %b %Y %H:%M:%S GMT",
           &tm);
  return buffer;
}

// Header values as a signer sees them: trimmed, inner runs of spaces collapsed.
std::string canonical_value(const std::string &value) {
  std::string out;
  bool space = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') {
      space = !out.empty();
      continue;
    }
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

using Query = std::map<std::string, std::string>;  // decoded
using Restore = FakeS3Object::Restore;

struct StoredBucket {
  std::string region;
  bool streaming = false;
  bool requester_pays = false;
  int64_t created = 0;
  std::map<std::string, std::shared_ptr<const FakeS3Object>> objects;
};

struct StoredPart {
  std::string data{}, md5{};  // no data in streaming buckets; md5: the raw digest
  uint64_t size = 0;
};

struct StoredUpload {
  std::string bucket{}, key{};
  std::shared_ptr<FakeS3Object> object{};  // the properties its creation gave
  std::map<int, StoredPart> parts{};
};

// The texts of every <name> element in order, quotes unescaped: clients write part lists
// with their elements in either order and their ETags' quotes escaped or not.
std::vector<std::string> element_texts(const std::string &xml, const std::string &name) {
  std::vector<std::string> texts;
  const std::string open = "<" + name + ">";
  for (size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
    at += open.size();
    std::string &text = texts.emplace_back();
    const size_t end = std::min(xml.find('<', at), xml.size());
    for (std::string_view raw(xml.data() + at, end - at); !raw.empty();) {
      const bool quote = raw.starts_with("&quot;");
      text += quote ? '"' : raw.front();
      raw.remove_prefix(quote ? 6 : 1);
    }
  }
  return texts;
}

// One response before it goes out: a text body or a generated range.
struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string content_type = "application/xml";
  std::shared_ptr<const std::string> body{};
  bool generated = false;
  uint64_t offset = 0;  // into the object's data
  uint64_t length = 0;
  std::shared_ptr<const FakeS3Object> object{};  // keeps the data alive while it streams
};

Answer xml_answer(int status, std::string xml) {
  const uint64_t length = xml.size();
  return {.status = status,
          .body = std::make_shared<const std::string>(std::move(xml)),
          .length = length};
}

// An S3 error document; without a code, the status alone.
Answer error_answer(int status, const std::string &code, const std::string &message,
                    const std::string &resource, const FakeS3Details &details = {}) {
  if (code.empty()) return xml_answer(status, "");
  std::string xml = kXmlHead + ("<Error>" + tag("Code", code) + tag("Message", message));
  if (!resource.empty()) xml += tag("Resource", resource);
  for (const auto &[name, value] : details) xml += tag(name, value);
  return xml_answer(status, xml + tag("RequestId", "FAKE0000000000000000") + "</Error>");
}

Answer precondition_failed(const RecordedRequest &record, const FakeS3Details &details) {
  return error_answer(412, "PreconditionFailed",
                      "At least one of the pre-conditions you specified did not hold", record.path,
                      details);
}

Answer no_such_bucket(const RecordedRequest &record, const std::string &bucket) {
  return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                      {{"BucketName", bucket}});
}

const std::string &generated_pattern() {
  static const std::string pattern = [] {
    std::string text(2 * kGeneratedPeriod, '\0');
    for (uint64_t i = 0; i < text.size(); ++i) text[i] = FakeS3Server::generated_byte(i);
    return text;
  }();
  return pattern;
}

// Calls `act` on every IPv4 socket of this process bound to `local_port` whose peer is on
// `remote_port` (any peer when 0): httplib gives no handle on its sockets.
void for_each_socket(int local_port, int remote_port, const std::function<void(int)> &act) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (struct dirent *entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_in local{}, peer{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != local_port) {
      continue;
    }
    size = sizeof peer;
    if (remote_port == 0 || (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) == 0 &&
                             ntohs(peer.sin_port) == remote_port)) {
      act(fd);
    }
  }
  closedir(dir);
}

// Resets the accepted connection of this peer, or with `close` ends it cleanly.
void reset_connection(int local_port, int remote_port, bool close = false) {
  for_each_socket(local_port, remote_port, [close](int fd) {
    if (close) {
      (void)shutdown(fd, SHUT_RDWR);
      return;
    }
    // Disconnecting a connected TCP socket sends a reset at once; httplib's own shutdown
    // and close of the descriptor later are harmless.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    (void)connect(fd, &unspecified, sizeof unspecified);
  });
}

}  // namespace

struct FakeS3Server::State {
  explicit State(Options options_)
      : options(std::move(options_)),
        server_owner(options.tls_certificate_path.empty()
                         ? std::make_unique<httplib::Server>()
                         : std::make_unique<httplib::SSLServer>(
                               options.tls_certificate_path.c_str(), options.tls_key_path.c_str())),
        server(*server_owner) {
    if (!server.is_valid()) throw std::runtime_error("fake S3 server: unusable TLS certificate");
  }

  Options options;
  bench::SharedBucket link{options.link_rate};
  std::unique_ptr<httplib::Server> server_owner;
  httplib::Server &server;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable stop_signal;
  bool stopping = false;
  std::map<std::string, StoredBucket> buckets;
  std::deque<FakeS3Fault> faults;
  std::vector<RecordedRequest> records;
  std::map<std::string, StoredUpload> uploads;  // by upload id
  int next_upload = 0;
  int64_t last_generation = 0;
  std::atomic<uint64_t> body_bytes{0};  // object bytes sent in GET answers, outside the mutex

  // Waits up to `duration`, or less when the server begins to stop meanwhile.
  void sleep_unless_stopping(std::chrono::steady_clock::duration duration) {
    if (duration <= duration.zero()) return;
    std::unique_lock lock(mutex);
    stop_signal.wait_for(lock, duration, [this] { return stopping; });
  }

  // Holds body bytes to the connection's and the link's rates; debts below 1 ms carry over.
  void pace(bench::TokenBucket *connection, size_t bytes) {
    if (connection == nullptr) return;
    const auto now = bench::Clock::now();
    const auto wait = std::max(connection->debit(now, bytes), link.debit(now, bytes));
    if (wait >= std::chrono::milliseconds(1)) sleep_unless_stopping(wait);
  }

  // The first usable fault for the request: with `in_body` only those that act while the body
  // arrives, otherwise only the others.
  std::optional<FakeS3Fault> take_fault(const RecordedRequest &record, bool in_body = false) {
    std::lock_guard lock(mutex);
    for (auto &fault : faults) {
      if (fault.remaining == 0 || (fault.kind == FakeS3Fault::Kind::kResetInBody) != in_body ||
          (!fault.method.empty() && fault.method != record.method) ||
          (!fault.bucket.empty() && fault.bucket != record.bucket) ||
          (fault.key && *fault.key != record.key) ||
          record.query.find(fault.query) == std::string::npos ||
          (fault.range_prefix && record.header("range").rfind(*fault.range_prefix, 0) != 0)) {
        continue;
      }
      if (fault.remaining > 0) --fault.remaining;
      return fault;
    }
    return std::nullopt;
  }

  // The stored object as the answer's `object`, or the 404 that says what is missing. The
  // caller holds the lock.
  Answer find_object(const RecordedRequest &record, const std::string &bucket_name,
                     const std::string &key) {
    auto bucket = buckets.find(bucket_name);
    if (bucket == buckets.end()) return no_such_bucket(record, bucket_name);
    auto found = bucket->second.objects.find(key);
    if (found != bucket->second.objects.end()) return {.object = found->second};
    return error_answer(404, "NoSuchKey", "The specified key does not exist.", record.path,
                        {{"Key", key}});
  }

  // Every store takes the next generation. A precondition names the version a copy reads or a
  // delete removes (Google Cloud's generation, S3's ETag). The caller holds the lock.
  void stamp(FakeS3Object *object) { object->generation = ++last_generation; }
  static bool holds(const RecordedRequest &r, const FakeS3Object *o, const char *generation,
                    const char *etag) {
    return (!r.has_header(generation) ||
            (o && r.header(generation) == std::to_string(o->generation))) &&
           (!r.has_header(etag) || (o && r.header(etag) == o->etag));
  }

  void set_status(size_t index, int status) {
    std::lock_guard lock(mutex);
    records[index].status = status;
  }

  void handle(const httplib::Request &req, httplib::Response &res,
              const httplib::ContentReader *reader);
  RecordedRequest record_of(const httplib::Request &req) const;
  std::optional<Answer> check_sigv4(const RecordedRequest &record, const Query &query);
  std::optional<Answer> check_auth(const RecordedRequest &record, const Query &query);
  bool requester_pays(const std::string &bucket) {
    std::lock_guard lock(mutex);
    auto found = buckets.find(bucket);
    return found != buckets.end() && found->second.requester_pays;
  }
  Answer dispatch(const RecordedRequest &record, const Query &query, const std::string &body,
                  bool body_discarded, uint64_t body_length);
  Answer get_object(const RecordedRequest &record);
  Answer restore_object(const RecordedRequest &record, const std::string &body);
  // x-goog-hash and x-amz-checksum-crc32c as the options ask.
  void add_checksum_headers(const FakeS3Object &object, FakeS3Details *headers) const;
  Answer put_object(const RecordedRequest &record, const std::string &body, bool body_discarded,
                    uint64_t body_length);
  Answer multipart(const RecordedRequest &record, Query query, const std::string &body,
                   bool body_discarded, uint64_t body_length);
  Answer copy_object(const RecordedRequest &record);
  Answer list_bucket(const RecordedRequest &record, Query query);
  Answer list_service();
  Answer bucket_request(const RecordedRequest &record, const std::string &body);
  void emit(const httplib::Request &req, httplib::Response &res, Answer answer,
            const std::optional<FakeS3Fault> &fault,
            std::shared_ptr<bench::TokenBucket> connection);
};

std::string RecordedRequest::header(const std::string &name) const {
  auto found = headers.find(lower(name));
  return found == headers.end() ? std::string() : found->second;
}

bool RecordedRequest::has_header(const std::string &name) const {
  return headers.count(lower(name)) > 0;
}

FakeS3Fault FakeS3Fault::error(int status, std::string code, std::string message,
                               FakeS3Details details) {
  return {.status = status,
          .code = std::move(code),
          .message = std::move(message),
          .details = std::move(details)};
}

FakeS3Fault FakeS3Fault::malformed_xml(int status) {
  return raw(status, std::string(kXmlHead) +
                         "<ListBucketResult><Name>b</Name><Contents><Key>k</Key><Size>12</Siz");
}

FakeS3Fault FakeS3Fault::raw(int status, std::string body) {
  return {.status = status, .body = std::move(body)};
}

FakeS3Fault &FakeS3Fault::on(std::string method_, std::string bucket_,
                             std::optional<std::string> key_) {
  method = std::move(method_);
  bucket = std::move(bucket_);
  key = std::move(key_);
  return *this;
}

FakeS3Server::FakeS3Server() : FakeS3Server(Options()) {}

FakeS3Server::FakeS3Server(Options options) : state_(std::make_unique<State>(std::move(options))) {
  State *state = state_.get();
  auto &server = state->server;
  // Each open connection holds a worker thread while it is kept alive.
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
  server.set_keep_alive_max_count(1000000);
  // Without it the last partial segment of an answer on a kept-alive connection can wait for
  // the client's delayed acknowledgement (about 40 ms), as real services do not make it wait.
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(state->options.keep_alive_seconds);
  server.set_read_timeout(10);
  server.set_write_timeout(10);
  // Matches every path, new lines included.
  const std::string any = "[\\s\\S]*";
  auto plain = [state](const httplib::Request &req, httplib::Response &res) {
    state->handle(req, res, nullptr);
  };
  server.Get(any, plain);
  server.Delete(any, plain);
  server.Post(any, plain);
  server.Put(any,
             [state](const httplib::Request &req, httplib::Response &res,
                     const httplib::ContentReader &reader) { state->handle(req, res, &reader); });
  state->port = server.bind_to_any_port("127.0.0.1");
  if (state->port <= 0) throw std::runtime_error("fake S3 server: cannot bind 127.0.0.1");
  // httplib listens with a backlog of 5, so a burst of new connections (32 sessions starting
  // at once) overflows it and the kernel resets some of them. Only the listening socket has
  // this port yet.
  for_each_socket(state->port, 0, [](int fd) { listen(fd, 1024); });
  state->listener = std::thread([state] { state->server.listen_after_bind(); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

FakeS3Server::~FakeS3Server() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->stop_signal.notify_all();
  state_->server.stop();
  if (state_->listener.joinable()) state_->listener.join();
}

int FakeS3Server::port() const { return state_->port; }

std::string FakeS3Server::host() const { return "127.0.0.1:" + std::to_string(state_->port); }

void FakeS3Server::create_bucket(const std::string &bucket, const std::string &region,
                                 bool streaming) {
  std::lock_guard lock(state_->mutex);
  auto &stored = state_->buckets[bucket];
  stored.region = region.empty() ? "us-east-1" : region;
  stored.streaming = streaming;
  stored.created = time(nullptr);
}

void FakeS3Server::set_requester_pays(const std::string &bucket) {
  std::lock_guard lock(state_->mutex);
  state_->buckets[bucket].requester_pays = true;
}

void FakeS3Server::put_object(const std::string &bucket, const std::string &key,
                              FakeS3Object object) {
  if (!object.generated) object.size = object.data.size();
  if (object.etag.empty()) {
    object.etag =
        "\"" + fake_s3_md5_hex(object.generated ? std::to_string(object.size) : object.data) + "\"";
  }
  if (object.last_modified == 0) object.last_modified = time(nullptr);
  std::lock_guard lock(state_->mutex);
  state_->stamp(&object);
  auto &stored = state_->buckets[bucket];
  if (stored.region.empty()) stored.region = "us-east-1";
  stored.objects[key] = std::make_shared<const FakeS3Object>(std::move(object));
}

void FakeS3Server::put_object(const std::string &bucket, const std::string &key, std::string data) {
  put_object(bucket, key, FakeS3Object{.data = std::move(data)});
}

std::optional<FakeS3Object> FakeS3Server::object(const std::string &bucket,
                                                 const std::string &key) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->buckets.find(bucket);
  if (found == state_->buckets.end()) return std::nullopt;
  auto object = found->second.objects.find(key);
  if (object == found->second.objects.end()) return std::nullopt;
  return *object->second;
}

std::vector<std::string> FakeS3Server::uploads_in_progress(const std::string &bucket) const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> keys;
  for (const auto &[id, upload] : state_->uploads) {
    if (upload.bucket == bucket) keys.push_back(upload.key);
  }
  return keys;
}

void FakeS3Server::add_fault(FakeS3Fault fault) {
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back(std::move(fault));
}

void FakeS3Server::clear_faults() {
  std::lock_guard lock(state_->mutex);
  state_->faults = decltype(state_->faults)();  // memory too, for tests of the heap
}

std::vector<RecordedRequest> FakeS3Server::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

size_t FakeS3Server::request_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->records.size();
}

size_t FakeS3Server::count(const std::string &method) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<size_t>(std::count_if(state_->records.begin(), state_->records.end(),
                                           [&](const auto &r) { return r.method == method; }));
}

uint64_t FakeS3Server::body_bytes_sent() const { return state_->body_bytes; }

size_t FakeS3Server::connection_count() const {
  std::lock_guard lock(state_->mutex);
  std::set<int> ports;
  for (const auto &record : state_->records) ports.insert(record.remote_port);
  return ports.size();
}

void FakeS3Server::clear_requests() {
  std::lock_guard lock(state_->mutex);
  state_->records = decltype(state_->records)();
}

char FakeS3Server::generated_byte(uint64_t offset) {
  uint64_t i = offset % kGeneratedPeriod;
  return static_cast<char>((i * 31 + (i >> 8)) & 0xff);
}

std::string fake_s3_md5_base64(const std::string &data) {
  return base64(digest_of(EVP_md5(), data));
}

std::string fake_s3_md5_hex(const std::string &data) { return hex(digest_of(EVP_md5(), data)); }

std::string fake_s3_crc32c_base64(const std::string &data) {
  return crc32c_base64(crc32c_extend(0, data.data(), data.size()));
}

std::string send_raw_http(int port, const std::string &request, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    pollfd waiting{fd, POLLIN, 0};
    ssize_t got = 0;
    while (poll(&waiting, 1, timeout_ms) == 1 && (got = read(fd, buffer, sizeof buffer)) > 0) {
      answer.append(buffer, static_cast<size_t>(got));
    }
  }
  if (fd >= 0) close(fd);
  return answer;
}

RecordedRequest FakeS3Server::State::record_of(const httplib::Request &req) const {
  RecordedRequest record;
  record.method = req.method;
  record.target = req.target;
  size_t question = req.target.find('?');
  record.path = req.target.substr(0, question);
  record.query = question == std::string::npos ? "" : req.target.substr(question + 1);
  record.remote_port = req.remote_port;
  for (const auto &[name, value] : req.headers) record.headers.emplace(lower(name), value);
  record.host = record.header("host");

  // Virtual-host style: the bucket is the host name in front of a known endpoint.
  std::string host = lower(record.host);
  std::string rest = record.path.empty() ? "" : record.path.substr(1);
  for (const std::string endpoint : {".127.0.0.1", ".localhost"}) {
    for (const std::string &suffix : {endpoint + ":" + std::to_string(port), endpoint}) {
      if (host.size() > suffix.size() && host.ends_with(suffix)) {
        record.bucket = record.host.substr(0, host.size() - suffix.size());
        record.key = percent_decode(rest);
        return record;
      }
    }
  }
  size_t slash = rest.find('/');
  record.bucket = percent_decode(rest.substr(0, slash));
  record.key = slash == std::string::npos ? "" : percent_decode(rest.substr(slash + 1));
  return record;
}

void FakeS3Server::State::handle(const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader *reader) {
  // httplib would otherwise slice every answer (error documents too) by the request's Range
  // and compress bodies; this server answers ranges itself and sends bytes as they are.
  auto &mutable_req = const_cast<httplib::Request &>(req);
  mutable_req.ranges.clear();
  RecordedRequest record = record_of(req);
  mutable_req.headers.erase("Accept-Encoding");
  // httplib has decoded the query already ("+" as a blank, as S3 reads it).
  Query query(req.params.begin(), req.params.end());

  size_t index = 0;
  bool streaming = false;
  {
    std::lock_guard lock(mutex);
    index = records.size();
    records.push_back(record);
    auto bucket = buckets.find(record.bucket);
    streaming = bucket != buckets.end() && bucket->second.streaming && !record.key.empty() &&
                record.method == "PUT";
  }
  // A connection carries one request at a time, so each request's bucket is its connection's.
  std::shared_ptr<bench::TokenBucket> connection;
  if (options.connection_rate > 0 || options.link_rate > 0) {
    connection = std::make_shared<bench::TokenBucket>(options.connection_rate);
  }
  sleep_unless_stopping(options.delay);
  // The body is read in full before any answer, so that the connection stays in step.
  std::string body;
  uint64_t body_length = 0;
  bool body_complete = true;
  // Digests only when a check needs them: hashing every byte would bound the benchmark.
  Digest sha256(EVP_sha256());
  Digest md5(EVP_md5());
  bool need_sha256 = options.auth == FakeS3Server::Auth::kSigV4 &&
                     record.header("x-amz-content-sha256").size() == 64;
  bool need_md5 = record.has_header("content-md5");
  const std::string expected_crc32c = record.method == "PUT" ? sent_crc32c(record) : "";
  uint32_t crc32c = 0;
  std::optional<FakeS3Fault> body_fault = take_fault(record, true);
  auto take = [&](const char *data, size_t size) {
    if (body_fault && body_length + size > body_fault->bytes) {
      if (body_fault->action) body_fault->action();
      reset_connection(port, req.remote_port);
      return false;
    }
    body_length += size;
    pace(connection.get(), size);
    if (need_sha256) sha256.update(data, size);
    if (need_md5) md5.update(data, size);
    if (!expected_crc32c.empty()) crc32c = crc32c_extend(crc32c, data, size);
    if (!streaming) body.append(data, size);
    return true;
  };
  // A PUT without a declared body (a bucket creation or a copy) has nothing to read.
  std::string declared_length = req.get_header_value("Content-Length");
  if (reader == nullptr) {
    take(req.body.data(), req.body.size());
  } else if ((!declared_length.empty() && declared_length != "0") ||
             req.has_header("Transfer-Encoding")) {
    body_complete = (*reader)(take);
  }
  if (!body_complete) {
    // The client gave up mid-body: nothing is stored, and no fault is used up.
    res.status = 400;
    return;
  }
  auto fault = take_fault(record);
  using Kind = FakeS3Fault::Kind;
  const Kind kind = fault ? fault->kind : Kind::kRealAnswer;
  if (kind == Kind::kEndlessError) {
    set_status(index, res.status = fault->status);
    res.set_chunked_content_provider(
        "application/xml", [this, bytes = fault->bytes](size_t offset, httplib::DataSink &sink) {
          if (offset >= bytes) {
            sleep_unless_stopping(std::chrono::minutes(10));
            return false;
          }
          const std::string filler(kWriteChunk, 'X');
          return sink.write(filler.data(), filler.size());
        });
    return;
  }
  if (kind == Kind::kCloseUnanswered) {
    if (fault->action) fault->action();
    reset_connection(port, req.remote_port, true);
    return;
  }
  if (kind == Kind::kDelay) sleep_unless_stopping(fault->delay);

  // A scripted answer goes out in place of every check.
  std::optional<Answer> answer;
  if (kind == Kind::kAnswer) {
    answer = fault->body.empty() ? error_answer(fault->status, fault->code, fault->message,
                                                record.path, fault->details)
                                 : xml_answer(fault->status, fault->body);
  } else {
    answer = check_auth(record, query);
  }
  // As Google Cloud refuses a request in both header dialects.
  const auto speaks = [&](const char *prefix) {
    return std::any_of(record.headers.begin(), record.headers.end(),
                       [&](const auto &header) { return header.first.starts_with(prefix); });
  };
  if (!answer && speaks("x-amz-") && speaks("x-goog-")) {
    answer =
        error_answer(400, "InvalidArgument", "x-goog-* and x-amz-* headers mixed.", record.path);
  }
  const bool payer_named = record.has_header("x-goog-user-project") ||
                           record.has_header("x-amz-request-payer") || query.count("userProject");
  if (!answer && !payer_named && requester_pays(record.bucket)) {
    answer = error_answer(400, "UserProjectMissing",
                          "Bucket is a requester pays bucket but no user project provided.",
                          record.path);
  }
  std::string payload_hash = record.header("x-amz-content-sha256");
  std::string actual_sha256 = hex(sha256.finish());
  std::string content_md5 = record.header("content-md5");
  std::string actual_md5 = base64(md5.finish());
  if (!answer && need_sha256 && lower(payload_hash) != actual_sha256) {
    answer = error_answer(400, "XAmzContentSHA256Mismatch",
                          "The provided 'x-amz-content-sha256' header does not match what "
                          "was computed.",
                          record.path,
                          {{"ClientComputedContentSHA256", payload_hash},
                           {"S3ComputedContentSHA256", actual_sha256}});
  }
  if (!answer && need_md5 && content_md5 != actual_md5) {
    answer = error_answer(
        400, "BadDigest", "The Content-MD5 you specified did not match what we received.",
        record.path, {{"ExpectedDigest", content_md5}, {"CalculatedDigest", actual_md5}});
  }
  if (!answer && !expected_crc32c.empty() && expected_crc32c != crc32c_base64(crc32c)) {
    answer = error_answer(400, "BadDigest",
                          "The CRC32C you specified did not match the calculated checksum.",
                          record.path);
  }
  if (fault && fault->range) {
    record.headers.erase("range");
    if (!fault->range->empty()) record.headers.emplace("range", *fault->range);
  }
  if (!answer) answer = dispatch(record, query, body, streaming, body_length);
  if (fault && fault->action) fault->action();
  set_status(index, answer->status);
  sleep_unless_stopping(options.delay);
  emit(req, res, std::move(*answer), fault, std::move(connection));
}

std::optional<Answer> FakeS3Server::State::check_auth(const RecordedRequest &record,
                                                      const Query &query) {
  std::string authorization = record.header("authorization");
  if (options.auth == FakeS3Server::Auth::kSigV4) return check_sigv4(record, query);
  if (options.auth == FakeS3Server::Auth::kNone) return std::nullopt;
  if (authorization.empty()) {
    return error_answer(401, "AuthenticationRequired", "Authentication required.", record.path);
  }
  // As Google Cloud answers a token that is invalid or has expired.
  if (authorization != "Bearer " + options.bearer_token) {
    return error_answer(401, "AuthenticationRequired", "Invalid Credentials", record.path);
  }
  return std::nullopt;
}

// The canonical request is rebuilt from what arrived: the path and query decoded and encoded
// again, so a client that signs one text and sends another is caught.
std::optional<Answer> FakeS3Server::State::check_sigv4(const RecordedRequest &record,
                                                       const Query &query) {
  std::string authorization = record.header("authorization");
  if (authorization.empty()) return error_answer(403, "AccessDenied", "Access Denied", record.path);
  const std::string algorithm = "AWS4-HMAC-SHA256 ";
  std::map<std::string, std::string> fields;  // none for another algorithm
  for (auto part : split(authorization.substr(algorithm.size()), ',')) {
    part.erase(0, part.find_first_not_of(' '));
    size_t equals = part.find('=');
    if (authorization.starts_with(algorithm) && equals != std::string::npos) {
      fields[part.substr(0, equals)] = part.substr(equals + 1);
    }
  }
  auto scope = split(fields["Credential"], '/');
  const std::string &signed_headers = fields["SignedHeaders"];
  if (scope.size() != 5 || scope[4] != "aws4_request" || signed_headers.empty()) {
    return error_answer(400, "AuthorizationHeaderMalformed",
                        "The authorization header is malformed.", record.path);
  }
  if (scope[0] != options.access_key_id) {
    return error_answer(403, "InvalidAccessKeyId",
                        "The AWS Access Key Id you provided does not exist in our records.",
                        record.path, {{"AWSAccessKeyId", scope[0]}});
  }
  std::string region;
  {
    std::lock_guard lock(mutex);
    auto found = buckets.find(record.bucket);
    if (found != buckets.end()) region = found->second.region;
  }
  if (!region.empty() && scope[2] != region) {
    Answer wrong = error_answer(400, "AuthorizationHeaderMalformed",
                                "The authorization header is malformed; the region '" + scope[2] +
                                    "' is wrong; expecting '" + region + "'",
                                record.path, {{"Region", region}});
    wrong.headers.emplace_back("x-amz-bucket-region", region);
    return wrong;
  }
  // As AWS: a request signed more than 15 minutes off the server's clock is refused.
  std::tm signed_at{};
  const std::string amz_time = record.header("x-amz-date");
  if (strptime(amz_time.c_str(), "%Y%m%dT%H%M%SZ", &signed_at) == nullptr ||
      std::abs(timegm(&signed_at) - time(nullptr) - options.clock_offset_seconds) > 15 * 60) {
    return error_answer(403, "RequestTimeTooSkewed",
                        "The difference between the request time and the current time is too "
                        "large.",
                        record.path, {{"RequestTime", amz_time}});
  }
  std::string payload_hash = record.header("x-amz-content-sha256");
  if (payload_hash.empty()) {
    return error_answer(400, "InvalidRequest",
                        "Missing required header for this request: x-amz-content-sha256",
                        record.path);
  }
  if (!options.security_token.empty() &&
      record.header("x-amz-security-token") != options.security_token) {
    return error_answer(400, "InvalidToken",
                        "The provided token is malformed or otherwise invalid.", record.path);
  }
  std::string canonical_query;
  for (const auto &[name, value] : query) {  // a map: sorted by name
    if (!canonical_query.empty()) canonical_query += '&';
    canonical_query += uri_encode(name, false) + "=" + uri_encode(value, false);
  }
  // As AWS requires: host, content-type and every x-amz-* header that came are signed.
  const std::string listed = ";" + signed_headers + ";";
  for (const auto &[name, value] : record.headers) {
    bool must_sign = name == "host" || name == "content-type" || name.starts_with("x-amz-");
    if (must_sign && listed.find(";" + name + ";") == std::string::npos) {
      return error_answer(403, "AccessDenied",
                          "There were headers present in the request which were not signed",
                          record.path, {{"HeadersNotSigned", name}});
    }
  }
  std::string canonical_headers;
  for (const auto &name : split(signed_headers, ';')) {
    if (name != lower(name) || !record.has_header(name)) {
      return error_answer(403, "SignatureDoesNotMatch",
                          "A signed header is missing or not in lower case: " + name, record.path);
    }
    std::string values;
    auto range = record.headers.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
      if (!values.empty()) values += ',';
      // httplib decodes percent escapes in header values; the copy source is encoded again
      // the one canonical way (RFC 3986 unreserved characters kept, and '/').
      values +=
          name == "x-amz-copy-source" ? uri_encode(it->second, true) : canonical_value(it->second);
    }
    canonical_headers += name + ":" + values + "\n";
  }
  std::string canonical_request =
      record.method + "\n" + uri_encode(percent_decode(record.path), true) + "\n" +
      canonical_query + "\n" + canonical_headers + "\n" + signed_headers + "\n" + payload_hash;
  std::string amz_date = record.header("x-amz-date");
  std::string string_to_sign = "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope[1] + "/" + scope[2] +
                               "/" + scope[3] + "/aws4_request\n" +
                               hex(digest_of(EVP_sha256(), canonical_request));
  std::string key = "AWS4" + options.secret_access_key;
  for (const std::string &part : {scope[1], scope[2], scope[3], scope[4]}) {
    key = hmac_sha256(key, part);
  }
  if (!amz_date.starts_with(scope[1]) ||
      hex(hmac_sha256(key, string_to_sign)) != fields["Signature"]) {
    return error_answer(403, "SignatureDoesNotMatch",
                        "The request signature we calculated does not match the signature "
                        "you provided. Check your key and signing method.",
                        record.path, {{"AWSAccessKeyId", scope[0]}});
  }
  return std::nullopt;
}

Answer FakeS3Server::State::dispatch(const RecordedRequest &record, const Query &query,
                                     const std::string &body, bool body_discarded,
                                     uint64_t body_length) {
  const bool read = record.method == "GET" || record.method == "HEAD";
  if (!record.bucket.empty() && (query.count("uploads") || query.count("uploadId"))) {
    return multipart(record, query, body, body_discarded, body_length);
  }
  if (record.bucket.empty()) {
    if (read) return list_service();
  } else if (record.key.empty() && record.method == "GET") {
    return list_bucket(record, query);
  } else if (record.key.empty() && record.method != "POST") {
    return bucket_request(record, body);
  } else if (record.method == "POST" && query.count("restore")) {
    return restore_object(record, body);
  } else if (read) {
    // A refused HEAD has the status alone, as it has no body to carry a document.
    Answer answer = get_object(record);
    return record.method == "HEAD" && answer.status >= 300 ? xml_answer(answer.status, "") : answer;
  } else if (record.method == "PUT") {
    return record.has_header("x-amz-copy-source") || record.has_header("x-goog-copy-source")
               ? copy_object(record)
               : put_object(record, body, body_discarded, body_length);
  } else if (record.method == "DELETE") {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(record.bucket);
    if (bucket == buckets.end()) return no_such_bucket(record, record.bucket);
    auto found = bucket->second.objects.find(record.key);
    if (!holds(record, found == bucket->second.objects.end() ? nullptr : found->second.get(),
               "x-goog-if-generation-match", "if-match")) {
      return precondition_failed(record, {});
    }
    bucket->second.objects.erase(record.key);
    return xml_answer(204, "");
  }
  return error_answer(405, "MethodNotAllowed",
                      "The specified method is not allowed against this resource.", record.path);
}

Answer FakeS3Server::State::get_object(const RecordedRequest &record) {
  std::lock_guard lock(mutex);
  Answer found = find_object(record, record.bucket, record.key);
  if (!found.object) return found;
  const std::shared_ptr<const FakeS3Object> object = found.object;
  if (record.has_header("if-match") && record.header("if-match") != object->etag) {
    return precondition_failed(record, {{"Condition", "If-Match"}});
  }
  Answer answer{.headers = {{"ETag", object->etag},
                            {"x-goog-generation", std::to_string(object->generation)},
                            {"Last-Modified", utc_text(object->last_modified, false)},
                            {"Accept-Ranges", "bytes"}},
                .content_type = object->content_type,
                .generated = object->generated,
                .length = object->size,
                .object = object};
  if (!object->generated) answer.body = std::shared_ptr<const std::string>(object, &object->data);
  if (!object->content_encoding.empty()) {
    answer.headers.emplace_back("Content-Encoding", object->content_encoding);
  }
  for (const auto &[name, value] : object->metadata) {
    answer.headers.emplace_back("x-amz-meta-" + name, value);
  }
  add_checksum_headers(*object, &answer.headers);
  if (!object->storage_class.empty())
    answer.headers.emplace_back("x-amz-storage-class", object->storage_class);
  if (object->restore != Restore::kNone) {
    answer.headers.emplace_back(
        "x-amz-restore",
        object->restore == Restore::kOngoing
            ? "ongoing-request=\"true\""
            : "ongoing-request=\"false\", expiry-date=\"Fri, 01 Jan 2100 00:00:00 GMT\"");
  }
  if (record.method == "GET" && object->restore != Restore::kDone &&
      (object->storage_class == "GLACIER" || object->storage_class == "DEEP_ARCHIVE")) {
    return error_answer(403, "InvalidObjectState",
                        "The operation is not valid for the object's storage class", record.path,
                        {{"StorageClass", object->storage_class}});
  }

  // The client asks for "bytes=<first>-" or "bytes=<first>-<last>"; anything else is ignored.
  std::string range = record.header("range");
  uint64_t size = object->size;
  unsigned long long first = 0, last = 0;
  int fields = std::sscanf(range.c_str(), "bytes=%llu-%llu", &first, &last);
  if (fields < 1) return answer;
  if (fields < 2 || last >= size) last = size == 0 ? 0 : size - 1;
  if (first >= size) {
    Answer refused =
        error_answer(416, "InvalidRange", "The requested range is not satisfiable", record.path,
                     {{"RangeRequested", range}, {"ActualObjectSize", std::to_string(size)}});
    refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return refused;
  }
  if (last < first) return answer;
  answer.status = 206;
  answer.offset = first;
  answer.length = last - first + 1;
  answer.headers.emplace_back(
      "Content-Range",
      "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
  return answer;
}

void FakeS3Server::State::add_checksum_headers(const FakeS3Object &object,
                                               FakeS3Details *headers) const {
  if (options.amz_checksum && !object.crc32c.empty()) {
    headers->emplace_back("x-amz-checksum-crc32c", object.crc32c);
  }
  if (options.goog_hash == FakeS3Server::GoogHash::kNone || object.generated) return;
  const std::string crc32c = "crc32c=" + fake_s3_crc32c_base64(object.data);
  // A multipart or composite object has no MD5 for the service to state.
  const bool has_md5 = object.etag.size() == 34 && object.etag.find('-') == std::string::npos;
  const std::string md5 = has_md5 ? "md5=" + fake_s3_md5_base64(object.data) : "";
  if (options.goog_hash == FakeS3Server::GoogHash::kSeparate) {
    headers->emplace_back("x-goog-hash", crc32c);
    if (has_md5) headers->emplace_back("x-goog-hash", md5);
  } else {
    headers->emplace_back("x-goog-hash", has_md5 ? md5 + ", " + crc32c : crc32c);
  }
}

// As S3: 202 starts a restore, 409 while one runs, 200 once the copy is there.
Answer FakeS3Server::State::restore_object(const RecordedRequest &record, const std::string &body) {
  std::lock_guard lock(mutex);
  Answer found = find_object(record, record.bucket, record.key);
  if (!found.object) return found;
  if (found.object->restore == Restore::kOngoing) {
    return error_answer(409, "RestoreAlreadyInProgress", "Object restore is already in progress",
                        record.path);
  }
  if (found.object->restore == Restore::kDone) return xml_answer(200, "");
  auto restoring = std::make_shared<FakeS3Object>(*found.object);
  restoring->restore = Restore::kOngoing;
  restoring->restore_request = body;
  buckets[record.bucket].objects[record.key] = std::move(restoring);
  return xml_answer(202, "");
}

// An object with the properties a PUT or a multipart upload's creation gives.
std::shared_ptr<FakeS3Object> object_of(const RecordedRequest &record) {
  auto object = std::make_shared<FakeS3Object>();
  if (record.has_header("content-type")) object->content_type = record.header("content-type");
  object->content_encoding = record.header("content-encoding");
  object->storage_class = record.header(
      record.has_header("x-goog-storage-class") ? "x-goog-storage-class" : "x-amz-storage-class");
  for (const auto &[name, value] : record.headers) {
    for (const std::string prefix : {"x-amz-meta-", "x-goog-meta-"}) {
      if (name.starts_with(prefix)) object->metadata[name.substr(prefix.size())] = value;
    }
  }
  return object;
}

Answer FakeS3Server::State::put_object(const RecordedRequest &record, const std::string &body,
                                       bool body_discarded, uint64_t body_length) {
  auto object = object_of(record);
  object->generated = body_discarded;
  object->size = body_length;
  if (!body_discarded) object->data = body;
  object->etag = "\"" + fake_s3_md5_hex(body_discarded ? std::to_string(body_length) : body) + "\"";
  object->last_modified = time(nullptr);
  object->crc32c = sent_crc32c(record);
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(record.bucket);
  if (bucket == buckets.end()) return no_such_bucket(record, record.bucket);
  stamp(object.get());
  Answer answer{.headers = {{"ETag", object->etag}}};
  bucket->second.objects[record.key] = std::move(object);
  return answer;
}

// Parts stay with their upload until Complete assembles the listed ones, checked as S3 checks
// them, into an object whose ETag is S3's: the MD5 of the parts' MD5s, "-" and their count.
Answer FakeS3Server::State::multipart(const RecordedRequest &record, Query query,
                                      const std::string &body, bool body_discarded,
                                      uint64_t body_length) {
  auto refuse = [&](int status, const std::string &code, FakeS3Details details = {}) {
    return error_answer(status, code, "Refused: " + code, record.path, std::move(details));
  };
  auto quoted_hex = [](const std::string &md5) { return "\"" + hex(md5) + "\""; };
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(record.bucket);
  if (bucket == buckets.end()) return no_such_bucket(record, record.bucket);
  if (record.key.empty()) {
    std::string xml = kXmlHead + ("<ListMultipartUploadsResult>" + tag("Bucket", record.bucket) +
                                  tag("IsTruncated", "false"));
    for (const auto &[id, upload] : uploads) {
      if (upload.bucket != record.bucket || !upload.key.starts_with(query["prefix"])) continue;
      xml += "<Upload>" + tag("Key", upload.key) + tag("UploadId", id) + "</Upload>";
    }
    return xml_answer(200, xml + "</ListMultipartUploadsResult>");
  }
  if (query.count("uploads")) {
    const std::string id = "fake-upload-" + std::to_string(++next_upload);
    uploads[id] = {.bucket = record.bucket, .key = record.key, .object = object_of(record)};
    return xml_answer(200, kXmlHead + ("<InitiateMultipartUploadResult>" + tag("Key", record.key) +
                                       tag("UploadId", id) + "</InitiateMultipartUploadResult>"));
  }
  auto upload = uploads.find(query["uploadId"]);
  if (upload == uploads.end() || upload->second.key != record.key ||
      upload->second.bucket != record.bucket) {
    return refuse(404, "NoSuchUpload");
  }
  std::map<int, StoredPart> &parts = upload->second.parts;
  if (record.method == "PUT") {
    const int number = atoi(query["partNumber"].c_str());
    if (number < 1 || number > options.max_part_number) return refuse(400, "InvalidArgument");
    StoredPart &part = parts[number] = {.data = body, .size = body_length};
    part.md5 = digest_of(EVP_md5(), body_discarded ? std::to_string(body_length) : body);
    return {.headers = {{"ETag", quoted_hex(part.md5)}}};
  }
  if (record.method == "DELETE") {
    uploads.erase(upload);
    return xml_answer(204, "");
  }
  if (record.method != "POST") return refuse(405, "MethodNotAllowed");
  const auto numbers = element_texts(body, "PartNumber"), etags = element_texts(body, "ETag");
  if (numbers.empty() || numbers.size() != etags.size()) return refuse(400, "MalformedXML");
  auto object = std::make_shared<FakeS3Object>(*upload->second.object);
  std::string md5s;
  for (size_t i = 0; i < numbers.size(); ++i) {
    auto part = parts.find(atoi(numbers[i].c_str()));
    if (i > 0 && atoi(numbers[i].c_str()) <= atoi(numbers[i - 1].c_str())) {
      return refuse(400, "InvalidPartOrder");
    }
    if (part == parts.end() || quoted_hex(part->second.md5) != etags[i]) {
      return refuse(400, "InvalidPart", {{"PartNumber", numbers[i]}, {"ETag", etags[i]}});
    }
    if (i + 1 < numbers.size() && part->second.size < options.min_part_size) {
      return refuse(400, "EntityTooSmall", {{"PartNumber", numbers[i]}});
    }
    md5s += part->second.md5;
    object->data += part->second.data;
    object->size += part->second.size;
  }
  object->generated = bucket->second.streaming;
  object->etag =
      "\"" + hex(digest_of(EVP_md5(), md5s)) + "-" + std::to_string(numbers.size()) + "\"";
  object->last_modified = time(nullptr);
  stamp(object.get());
  std::string xml = kXmlHead + ("<CompleteMultipartUploadResult>" + tag("Key", record.key) +
                                tag("ETag", object->etag) + "</CompleteMultipartUploadResult>");
  bucket->second.objects[record.key] = std::move(object);
  uploads.erase(upload);
  return xml_answer(200, std::move(xml));
}

Answer FakeS3Server::State::copy_object(const RecordedRequest &record) {
  // httplib hands header values over percent-decoded already.
  std::string source = record.header(record.has_header("x-amz-copy-source") ? "x-amz-copy-source"
                                                                            : "x-goog-copy-source");
  if (source.starts_with("/")) source = source.substr(1);
  size_t slash = source.find('/');
  std::lock_guard lock(mutex);
  Answer found = find_object(record, source.substr(0, slash), source.substr(slash + 1));
  if (!found.object) return found;
  if (!holds(record, found.object.get(), "x-goog-copy-source-if-generation-match",
             "x-amz-copy-source-if-match")) {
    return precondition_failed(record, {});
  }
  auto to = buckets.find(record.bucket);
  if (to == buckets.end()) return no_such_bucket(record, record.bucket);
  // Metadata is copied as it is; s3rver checks a copy that replaces it.
  auto copy = std::make_shared<FakeS3Object>(*found.object);
  copy->last_modified = time(nullptr);
  stamp(copy.get());
  std::string xml =
      kXmlHead + ("<CopyObjectResult>" + tag("LastModified", utc_text(copy->last_modified)) +
                  tag("ETag", copy->etag) + "</CopyObjectResult>");
  to->second.objects[record.key] = std::move(copy);
  return xml_answer(200, std::move(xml));
}

// Every key under the prefix on one page, keys past a delimiter folded into their common
// prefix; s3rver checks markers and paging.
Answer FakeS3Server::State::list_bucket(const RecordedRequest &record, Query query) {
  const std::string prefix = query["prefix"], delimiter = query["delimiter"];
  std::set<std::string> common_prefixes;
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(record.bucket);
  if (bucket == buckets.end()) return no_such_bucket(record, record.bucket);
  std::string xml =
      kXmlHead + ("<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">" +
                  tag("Name", record.bucket) + tag("Prefix", prefix) + tag("IsTruncated", "false"));
  for (const auto &[key, object] : bucket->second.objects) {
    if (!key.starts_with(prefix)) continue;
    size_t cut = delimiter.empty() ? std::string::npos : key.find(delimiter, prefix.size());
    if (cut != std::string::npos) {
      common_prefixes.insert(key.substr(0, cut + delimiter.size()));
      continue;
    }
    xml += "<Contents>" + tag("Key", key) + tag("LastModified", utc_text(object->last_modified)) +
           tag("ETag", object->etag) + tag("Size", std::to_string(object->size)) + "</Contents>";
  }
  for (const std::string &common : common_prefixes) {
    xml += "<CommonPrefixes>" + tag("Prefix", common) + "</CommonPrefixes>";
  }
  return xml_answer(200, xml + "</ListBucketResult>");
}

Answer FakeS3Server::State::list_service() {
  std::string xml = kXmlHead + std::string(
                                   "<ListAllMyBucketsResult "
                                   "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Owner><ID>"
                                   "fake-owner-id</ID><DisplayName>fake-owner</DisplayName>"
                                   "</Owner><Buckets>");
  std::lock_guard lock(mutex);
  for (const auto &[name, bucket] : buckets) {
    xml += "<Bucket>" + tag("Name", name) + tag("CreationDate", utc_text(bucket.created)) +
           "</Bucket>";
  }
  return xml_answer(200, xml + "</Buckets></ListAllMyBucketsResult>");
}

// HEAD, PUT and DELETE of a bucket.
Answer FakeS3Server::State::bucket_request(const RecordedRequest &record, const std::string &body) {
  const std::string &name = record.bucket;
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(name);
  if (record.method == "PUT") {
    // Creating an existing bucket again succeeds, as in us-east-1.
    auto &created = buckets[name];
    created.region = "us-east-1";
    size_t open = body.find("<LocationConstraint>");
    size_t close = body.find("</LocationConstraint>");
    if (open != std::string::npos && close != std::string::npos && close > open) {
      created.region = body.substr(open + 20, close - open - 20);
    }
    created.created = time(nullptr);
    return {.headers = {{"Location", "/" + name}}};
  }
  if (bucket == buckets.end()) {
    return record.method == "HEAD" ? xml_answer(404, "") : no_such_bucket(record, name);
  }
  if (record.method == "HEAD") return {.headers = {{"x-amz-bucket-region", bucket->second.region}}};
  buckets.erase(bucket);
  return xml_answer(204, "");
}

void FakeS3Server::State::emit(const httplib::Request &req, httplib::Response &res, Answer answer,
                               const std::optional<FakeS3Fault> &fault,
                               std::shared_ptr<bench::TokenBucket> connection) {
  res.status = answer.status;
  res.set_header("x-amz-request-id", "FAKE0000000000000000");
  res.set_header("Server", "FakeS3");
  for (const auto &[name, value] : answer.headers) res.set_header(name, value);
  for (const auto &[name, value] : fault ? fault->headers : FakeS3Details()) {
    res.headers.erase(name);
    res.set_header(name, value);
  }
  const bool unmeasured = fault && fault->send_unmeasured;

  uint64_t length = answer.length;
  if (req.method == "HEAD") {
    // httplib states "Content-Length: 0" for an answer with neither a body nor a provider.
    if (unmeasured) {
      res.set_content_provider(answer.content_type,
                               [](size_t, httplib::DataSink &) { return false; });
      return;
    }
    res.set_header("Content-Length", std::to_string(length));
    if (answer.object) res.set_header("Content-Type", answer.content_type);
    return;
  }
  if (length == 0) {
    if (answer.object) res.set_content("", answer.content_type);
    return;
  }

  using Kind = FakeS3Fault::Kind;
  Kind kind = fault ? fault->kind : Kind::kRealAnswer;
  uint64_t trailing = kind == Kind::kTrailingBytes ? fault->bytes : 0;
  uint64_t declared = length + (kind == Kind::kLongBody ? fault->bytes : 0);
  uint64_t cut =
      (kind == Kind::kResetAfter || kind == Kind::kShortBody || kind == Kind::kStallAfter)
          ? std::min<uint64_t>(fault->bytes, length)
          : declared;
  std::chrono::milliseconds stall = fault ? fault->delay : std::chrono::milliseconds(0);
  std::string content_type = answer.content_type;
  auto provide = [=, this, answer = std::move(answer), remote_port = req.remote_port](
                     size_t offset, size_t, httplib::DataSink &sink) {
    if (offset >= cut && cut < declared) {
      if (kind == Kind::kStallAfter) sleep_unless_stopping(stall);
      if (kind == Kind::kResetAfter) reset_connection(port, remote_port);
      return false;
    }
    if (offset >= length) {
      std::string tail(declared - offset, 'X');
      return sink.write(tail.data(), tail.size());
    }
    uint64_t size = std::min<uint64_t>(kWriteChunk, std::min(cut, length) - offset);
    if (answer.generated) {
      const std::string &pattern = generated_pattern();
      uint64_t written = 0;
      while (written < size) {
        uint64_t at = (answer.offset + offset + written) % kGeneratedPeriod;
        uint64_t piece = std::min<uint64_t>(size - written, kGeneratedPeriod);
        pace(connection.get(), piece);
        if (answer.object) body_bytes += piece;
        if (!sink.write(pattern.data() + at, piece)) return false;
        written += piece;
      }
    } else {
      pace(connection.get(), size);
      if (answer.object) body_bytes += size;
      if (!sink.write(answer.body->data() + answer.offset + offset, size)) return false;
    }
    if (offset + size == length && trailing > 0) {
      std::string tail(trailing, 'X');
      sink.write(tail.data(), tail.size());
    }
    return true;
  };
  if (!unmeasured && (!fault || !fault->send_chunked)) {
    res.set_content_provider(declared, content_type, std::move(provide));
    return;
  }
  auto to_the_end = [provide = std::move(provide), declared](size_t offset,
                                                             httplib::DataSink &sink) {
    if (offset < declared) return provide(offset, declared - offset, sink);
    sink.done();
    return true;
  };
  if (unmeasured) {
    res.set_content_provider(content_type, std::move(to_the_end));
  } else {
    res.set_chunked_content_provider(content_type, std::move(to_the_end));
  }
}

}  // namespace vorlan::test

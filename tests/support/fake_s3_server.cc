#include "fake_s3_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#if defined(__SANITIZE_THREAD__)
// libcpp-httplib is not built with ThreadSanitizer, so the synchronisation inside it (inlined
// atomics, guards of function-local statics) is invisible and its worker threads look racy.
// The client library under test never runs on those threads; races there are still reported.
extern "C" const char *__tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
#endif

namespace vorlan::test {
namespace {

constexpr uint64_t kGeneratedPeriod = 65521;  // prime, so no chunk size lines up with it
constexpr size_t kWriteChunk = size_t{256} * 1024;

std::string lower(std::string text) {
  for (auto &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %XX exactly once; '+' is a plain character, as it is in S3 paths.
std::string percent_decode(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int high = hex_value(text[i + 1]);
      int low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// RFC 3986 unreserved characters stay, everything else is %XX (upper case), '/' optionally.
std::string uri_encode(const std::string &text, bool keep_slash) {
  static const char *digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

std::string xml_escape(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string to_hex(const unsigned char *data, size_t size) {
  static const char *digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

std::string base64(const unsigned char *data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<size_t>(written));
  return out;
}

// Decodes strict base64; nullopt when it is not.
std::optional<std::string> base64_decode(const std::string &text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int written = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(text.data()),
                                static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<size_t>(written) - padding);
  return out;
}

// Incremental digest over one EVP algorithm.
class Digest {
 public:
  explicit Digest(const EVP_MD *md) : ctx_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(ctx_, md, nullptr);
  }
  ~Digest() { EVP_MD_CTX_free(ctx_); }
  Digest(const Digest &) = delete;
  Digest &operator=(const Digest &) = delete;
  void update(const char *data, size_t size) { EVP_DigestUpdate(ctx_, data, size); }
  std::string finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx_, out, &size);
    return {reinterpret_cast<char *>(out), size};
  }

 private:
  EVP_MD_CTX *ctx_;
};

std::string digest_of(const EVP_MD *md, const std::string &data) {
  Digest digest(md);
  digest.update(data.data(), data.size());
  return digest.finish();
}

std::string hex_of(const std::string &bytes) {
  return to_hex(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

std::string hmac_sha256(const std::string &key, const std::string &data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, &size);
  return {reinterpret_cast<char *>(out), size};
}

std::string rfc1123(int64_t seconds) {
  auto t = static_cast<time_t>(seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buffer[64];
  strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buffer;
}

std::string iso8601(int64_t seconds) {
  auto t = static_cast<time_t>(seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buffer[64];
  strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
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

std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

using Query = std::vector<std::pair<std::string, std::string>>;  // decoded

Query parse_query(const std::string &raw) {
  Query query;
  if (raw.empty()) return query;
  for (const auto &part : split(raw, '&')) {
    if (part.empty()) continue;
    size_t equals = part.find('=');
    if (equals == std::string::npos) {
      query.emplace_back(percent_decode(part), "");
    } else {
      query.emplace_back(percent_decode(part.substr(0, equals)),
                         percent_decode(part.substr(equals + 1)));
    }
  }
  return query;
}

std::optional<std::string> query_value(const Query &query, const std::string &name) {
  for (const auto &[key, value] : query) {
    if (key == name) return value;
  }
  return std::nullopt;
}

struct StoredBucket {
  std::string region;
  bool streaming = false;
  int64_t created = 0;
  std::map<std::string, std::shared_ptr<const FakeS3Object>> objects;
};

// One response before it goes out: a text body or a generated range.
struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string content_type = "application/xml";
  std::shared_ptr<const std::string> body;
  bool generated = false;
  uint64_t offset = 0;  // into the object's data
  uint64_t length = 0;
  std::shared_ptr<const FakeS3Object> object;  // keeps the data alive while it streams
};

Answer error_answer(int status, const std::string &code, const std::string &message,
                    const std::string &resource, const FakeS3Details &details = {}) {
  Answer answer;
  answer.status = status;
  if (code.empty()) return answer;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + xml_escape(code) +
                    "</Code><Message>" + xml_escape(message) + "</Message>";
  if (!resource.empty()) xml += "<Resource>" + xml_escape(resource) + "</Resource>";
  for (const auto &[name, value] : details) {
    xml += "<" + name + ">" + xml_escape(value) + "</" + name + ">";
  }
  xml += "<RequestId>FAKE0000000000000000</RequestId></Error>";
  answer.length = xml.size();
  answer.body = std::make_shared<const std::string>(std::move(xml));
  return answer;
}

Answer status_answer(int status) {
  Answer answer;
  answer.status = status;
  return answer;
}

Answer xml_answer(int status, std::string xml) {
  Answer answer;
  answer.status = status;
  answer.length = xml.size();
  answer.body = std::make_shared<const std::string>(std::move(xml));
  return answer;
}

const std::string &generated_pattern() {
  static const std::string pattern = [] {
    std::string text(2 * kGeneratedPeriod, '\0');
    for (uint64_t i = 0; i < text.size(); ++i) text[i] = FakeS3Server::generated_byte(i);
    return text;
  }();
  return pattern;
}

// Resets the accepted connection of this peer, or with `close` ends it cleanly.
void reset_connection(int local_port, int remote_port, bool close = false) {
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
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0 ||
        ntohs(peer.sin_port) != remote_port) {
      continue;
    }
    if (close) {
      (void)shutdown(fd, SHUT_RDWR);
      continue;
    }
    // Disconnecting a connected TCP socket sends a reset at once; httplib's own shutdown
    // and close of the descriptor later are harmless.
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    (void)connect(fd, &unspecified, sizeof unspecified);
  }
  closedir(dir);
}

// httplib listens with a backlog of 5, so a burst of new connections (32 sessions starting
// at once) overflows it and the kernel resets some of them; the backlog is raised here.
void widen_listen_backlog(int port) {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (struct dirent *entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    int listening = 0;
    socklen_t flag_size = sizeof listening;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0 &&
        local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flag_size) == 0 && listening) {
      listen(fd, 1024);
    }
  }
  closedir(dir);
}

}  // namespace

struct FakeS3Server::State {
  Options options;
  httplib::Server server;
  std::thread listener;
  int port = 0;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable stop_signal;
  bool stopping = false;
  std::map<std::string, StoredBucket> buckets;
  std::deque<FakeS3Fault> faults;
  std::vector<RecordedRequest> records;
  std::string last_body;
  uint64_t request_number = 0;

  // Waits up to `duration`; false when the server began to stop meanwhile.
  bool sleep_unless_stopping(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    return !stop_signal.wait_for(lock, duration, [this] { return stopping; });
  }

  std::optional<FakeS3Fault> take_fault(const std::string &method, const std::string &bucket,
                                        const std::string &key) {
    std::lock_guard lock(mutex);
    for (auto &fault : faults) {
      if (fault.remaining == 0) continue;
      if (!fault.method.empty() && fault.method != method) continue;
      if (!fault.bucket.empty() && fault.bucket != bucket) continue;
      if (fault.key && *fault.key != key) continue;
      if (fault.remaining > 0) --fault.remaining;
      return fault;
    }
    return std::nullopt;
  }

  void handle(const httplib::Request &req, httplib::Response &res,
              const httplib::ContentReader *reader);
  std::optional<Answer> check_auth(const httplib::Request &req, const RecordedRequest &record,
                                   const Query &query);
  std::string expected_region(const std::string &bucket);
  Answer dispatch(const httplib::Request &req, const RecordedRequest &record, const Query &query,
                  const std::string &body, bool body_discarded, uint64_t body_length);
  Answer get_object(const httplib::Request &req, const RecordedRequest &record, bool head);
  Answer put_object(const httplib::Request &req, const RecordedRequest &record,
                    const std::string &body, bool body_discarded, uint64_t body_length);
  Answer copy_object(const httplib::Request &req, const RecordedRequest &record);
  Answer list_bucket(const RecordedRequest &record, const Query &query);
  Answer list_service(const httplib::Request &req);
  Answer bucket_request(const httplib::Request &req, const RecordedRequest &record,
                        const Query &query, const std::string &body);
  void emit(const httplib::Request &req, httplib::Response &res, Answer answer,
            const std::optional<FakeS3Fault> &fault);
  void set_status(size_t index, int status) {
    std::lock_guard lock(mutex);
    if (index < records.size()) records[index].status = status;
  }
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
  FakeS3Fault fault;
  fault.status = status;
  fault.code = std::move(code);
  fault.message = std::move(message);
  fault.details = std::move(details);
  return fault;
}

FakeS3Fault FakeS3Fault::ok_with_error(std::string code, std::string message) {
  return error(200, std::move(code), std::move(message));
}

FakeS3Fault FakeS3Fault::malformed_xml(int status) {
  return raw(status,
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult><Name>b</Name>"
             "<Contents><Key>k</Key><Size>12</Siz");
}

FakeS3Fault FakeS3Fault::raw(int status, std::string body, std::string content_type) {
  FakeS3Fault fault;
  fault.status = status;
  fault.body = std::move(body);
  fault.content_type = std::move(content_type);
  return fault;
}

FakeS3Fault FakeS3Fault::reset_after(uint64_t bytes) {
  FakeS3Fault fault;
  fault.kind = Kind::kResetAfter;
  fault.bytes = bytes;
  return fault;
}

FakeS3Fault FakeS3Fault::short_body(uint64_t bytes) {
  FakeS3Fault fault;
  fault.kind = Kind::kShortBody;
  fault.bytes = bytes;
  return fault;
}

FakeS3Fault FakeS3Fault::long_body(uint64_t extra_bytes) {
  FakeS3Fault fault;
  fault.kind = Kind::kLongBody;
  fault.bytes = extra_bytes;
  return fault;
}

FakeS3Fault FakeS3Fault::trailing_bytes(uint64_t bytes) {
  FakeS3Fault fault;
  fault.kind = Kind::kTrailingBytes;
  fault.bytes = bytes;
  return fault;
}

FakeS3Fault FakeS3Fault::close_unanswered() {
  FakeS3Fault fault;
  fault.kind = Kind::kCloseUnanswered;
  return fault;
}

FakeS3Fault FakeS3Fault::delay_by(std::chrono::milliseconds delay) {
  FakeS3Fault fault;
  fault.kind = Kind::kDelay;
  fault.delay = delay;
  return fault;
}

FakeS3Fault FakeS3Fault::stall_after(uint64_t bytes, std::chrono::milliseconds stall) {
  FakeS3Fault fault;
  fault.kind = Kind::kStallAfter;
  fault.bytes = bytes;
  fault.delay = stall;
  return fault;
}

FakeS3Fault &FakeS3Fault::on(std::string method_, std::string bucket_,
                             std::optional<std::string> key_) {
  method = std::move(method_);
  bucket = std::move(bucket_);
  key = std::move(key_);
  return *this;
}

FakeS3Fault &FakeS3Fault::times(int count) {
  remaining = count;
  return *this;
}

FakeS3Server::FakeS3Server() : FakeS3Server(Options()) {}

FakeS3Server::FakeS3Server(Options options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
  State *state = state_.get();
  auto &server = state->server;
  int threads = state->options.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
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
  widen_listen_backlog(state->port);
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
  stored.region = region.empty() ? state_->options.default_region : region;
  stored.streaming = streaming;
  stored.created = time(nullptr);
}

void FakeS3Server::set_bucket_region(const std::string &bucket, const std::string &region) {
  std::lock_guard lock(state_->mutex);
  state_->buckets[bucket].region = region;
}

bool FakeS3Server::has_bucket(const std::string &bucket) const {
  std::lock_guard lock(state_->mutex);
  return state_->buckets.count(bucket) > 0;
}

void FakeS3Server::put_object(const std::string &bucket, const std::string &key,
                              FakeS3Object object) {
  if (!object.generated) object.size = object.data.size();
  if (object.etag.empty()) {
    object.etag = object.generated ? "\"" + fake_s3_md5_hex(std::to_string(object.size)) + "\""
                                   : "\"" + fake_s3_md5_hex(object.data) + "\"";
  }
  if (object.last_modified == 0) object.last_modified = time(nullptr);
  std::lock_guard lock(state_->mutex);
  auto &stored = state_->buckets[bucket];
  if (stored.region.empty()) stored.region = state_->options.default_region;
  stored.objects[key] = std::make_shared<const FakeS3Object>(std::move(object));
}

void FakeS3Server::put_object(const std::string &bucket, const std::string &key, std::string data) {
  FakeS3Object object;
  object.data = std::move(data);
  put_object(bucket, key, std::move(object));
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

std::vector<std::string> FakeS3Server::keys(const std::string &bucket) const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> out;
  auto found = state_->buckets.find(bucket);
  if (found == state_->buckets.end()) return out;
  for (const auto &entry : found->second.objects) out.push_back(entry.first);
  return out;
}

void FakeS3Server::add_fault(FakeS3Fault fault) {
  std::lock_guard lock(state_->mutex);
  state_->faults.push_back(std::move(fault));
}

void FakeS3Server::clear_faults() {
  std::lock_guard lock(state_->mutex);
  state_->faults.clear();
}

std::vector<RecordedRequest> FakeS3Server::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->records;
}

size_t FakeS3Server::request_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->records.size();
}

size_t FakeS3Server::count(const std::string &method, const std::optional<std::string> &key) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<size_t>(
      std::count_if(state_->records.begin(), state_->records.end(), [&](const auto &record) {
        return (method.empty() || record.method == method) && (!key || record.key == *key);
      }));
}

size_t FakeS3Server::connection_count() const {
  std::lock_guard lock(state_->mutex);
  std::set<int> ports;
  for (const auto &record : state_->records) ports.insert(record.remote_port);
  return ports.size();
}

void FakeS3Server::clear_requests() {
  std::lock_guard lock(state_->mutex);
  state_->records.clear();
}

char FakeS3Server::generated_byte(uint64_t offset) {
  uint64_t i = offset % kGeneratedPeriod;
  return static_cast<char>((i * 31 + (i >> 8)) & 0xff);
}

std::string FakeS3Server::last_body() const {
  std::lock_guard lock(state_->mutex);
  return state_->last_body;
}

std::string fake_s3_md5_base64(const std::string &data) {
  std::string digest = digest_of(EVP_md5(), data);
  return base64(reinterpret_cast<const unsigned char *>(digest.data()), digest.size());
}

std::string fake_s3_md5_hex(const std::string &data) { return hex_of(digest_of(EVP_md5(), data)); }

void FakeS3Server::State::handle(const httplib::Request &req, httplib::Response &res,
                                 const httplib::ContentReader *reader) {
  // httplib would otherwise slice every answer (error documents too) by the request's Range
  // and compress bodies; this server answers ranges itself and sends bytes as they are.
  auto &mutable_req = const_cast<httplib::Request &>(req);
  mutable_req.ranges.clear();

  RecordedRequest record;
  record.method = req.method;
  record.target = req.target;
  size_t question = req.target.find('?');
  record.path = req.target.substr(0, question);
  record.query = question == std::string::npos ? "" : req.target.substr(question + 1);
  record.remote_port = req.remote_port;
  for (const auto &[name, value] : req.headers) record.headers.emplace(lower(name), value);
  record.host = record.header("host");
  mutable_req.headers.erase("Accept-Encoding");

  // Virtual-host style: the bucket is the host name in front of a known endpoint.
  std::string host = lower(record.host);
  std::string bucket_from_host;
  std::vector<std::string> endpoints = {"127.0.0.1:" + std::to_string(port),
                                        "localhost:" + std::to_string(port), "127.0.0.1",
                                        "localhost"};
  if (!options.service_endpoint.empty()) {
    endpoints.push_back(lower(options.service_endpoint) + ":" + std::to_string(port));
    endpoints.push_back(lower(options.service_endpoint));
  }
  for (const auto &endpoint : endpoints) {
    if (host.size() > endpoint.size() + 1 && ends_with(host, "." + endpoint)) {
      bucket_from_host = record.host.substr(0, host.size() - endpoint.size() - 1);
      break;
    }
  }
  std::string rest = record.path.empty() ? "" : record.path.substr(1);
  if (!bucket_from_host.empty()) {
    record.bucket = bucket_from_host;
    record.key = percent_decode(rest);
  } else {
    size_t slash = rest.find('/');
    record.bucket = percent_decode(rest.substr(0, slash));
    record.key = slash == std::string::npos ? "" : percent_decode(rest.substr(slash + 1));
  }
  Query query = parse_query(record.query);

  size_t index = 0;
  bool streaming = false;
  {
    std::lock_guard lock(mutex);
    index = records.size();
    records.push_back(record);
    auto bucket = buckets.find(record.bucket);
    streaming = bucket != buckets.end() && bucket->second.streaming && !record.key.empty();
  }
  // The body is read in full before any answer, so that the connection stays in step.
  std::string body;
  uint64_t body_length = 0;
  bool body_complete = true;
  // Digests only when a check needs them: hashing every byte would bound the benchmark.
  Digest sha256(EVP_sha256());
  Digest md5(EVP_md5());
  bool need_sha256 = options.auth == FakeS3Server::Auth::kSigV4 &&
                     record.header("x-amz-content-sha256").size() == 64;
  bool need_md5 = options.check_content_md5 && record.has_header("content-md5");
  // A PUT without a declared body (a bucket creation or a copy) has nothing to read.
  std::string declared_length = req.get_header_value("Content-Length");
  bool has_body =
      (!declared_length.empty() && declared_length != "0") || req.has_header("Transfer-Encoding");
  if (reader != nullptr && has_body) {
    body_complete = (*reader)([&](const char *data, size_t size) {
      body_length += size;
      if (need_sha256) sha256.update(data, size);
      if (need_md5) md5.update(data, size);
      if (!streaming) body.append(data, size);
      return true;
    });
  } else if (reader == nullptr) {
    body = req.body;
    body_length = body.size();
    if (need_sha256) sha256.update(body.data(), body.size());
    if (need_md5) md5.update(body.data(), body.size());
  }
  {
    std::lock_guard lock(mutex);
    records[index].body_length = body_length;
    if (body_length > 0 && !streaming) last_body = body;
  }
  if (!body_complete) {
    // The client gave up mid-body: nothing is stored, and no fault is used up.
    set_status(index, 0);
    res.status = 400;
    return;
  }
  auto fault = take_fault(record.method, record.bucket, record.key);

  if (fault && fault->kind == FakeS3Fault::Kind::kAnswer) {
    Answer answer = fault->body.empty() ? error_answer(fault->status, fault->code, fault->message,
                                                       record.path, fault->details)
                                        : xml_answer(fault->status, fault->body);
    answer.content_type = fault->content_type;
    set_status(index, answer.status);
    emit(req, res, std::move(answer), std::nullopt);
    return;
  }
  if (fault && fault->kind == FakeS3Fault::Kind::kCloseUnanswered) {
    set_status(index, 0);
    reset_connection(port, req.remote_port, true);
    return;
  }
  if (fault && fault->kind == FakeS3Fault::Kind::kDelay) sleep_unless_stopping(fault->delay);

  std::optional<Answer> refused = check_auth(req, record, query);
  if (!refused) {
    std::string payload_hash = record.header("x-amz-content-sha256");
    std::string actual_sha256 = hex_of(sha256.finish());
    std::string actual_md5 = md5.finish();
    std::string content_md5 = record.header("content-md5");
    if (options.auth == FakeS3Server::Auth::kSigV4 && payload_hash.size() == 64 &&
        lower(payload_hash) != actual_sha256) {
      refused = error_answer(400, "XAmzContentSHA256Mismatch",
                             "The provided 'x-amz-content-sha256' header does not match what "
                             "was computed.",
                             record.path,
                             {{"ClientComputedContentSHA256", payload_hash},
                              {"S3ComputedContentSHA256", actual_sha256}});
    } else if (options.check_content_md5 && record.has_header("content-md5")) {
      auto expected = base64_decode(content_md5);
      if (!expected || expected->size() != 16) {
        refused = error_answer(400, "InvalidDigest", "The Content-MD5 you specified was invalid.",
                               record.path, {{"Content-MD5", content_md5}});
      } else if (*expected != actual_md5) {
        refused = error_answer(
            400, "BadDigest", "The Content-MD5 you specified did not match what we received.",
            record.path,
            {{"ExpectedDigest", content_md5},
             {"CalculatedDigest", base64(reinterpret_cast<const unsigned char *>(actual_md5.data()),
                                         actual_md5.size())}});
      }
    }
  }
  Answer answer =
      refused ? std::move(*refused) : dispatch(req, record, query, body, streaming, body_length);
  set_status(index, answer.status);
  emit(req, res, std::move(answer), fault);
}

std::string FakeS3Server::State::expected_region(const std::string &bucket) {
  std::lock_guard lock(mutex);
  auto found = buckets.find(bucket);
  if (found != buckets.end() && !found->second.region.empty()) return found->second.region;
  return options.signing_region;
}

std::optional<Answer> FakeS3Server::State::check_auth(const httplib::Request &req,
                                                      const RecordedRequest &record,
                                                      const Query &query) {
  std::string authorization = record.header("authorization");
  if (options.auth == FakeS3Server::Auth::kNone) return std::nullopt;

  if (options.auth == FakeS3Server::Auth::kBearer) {
    if (authorization.empty()) {
      return error_answer(401, "AuthenticationRequired", "Authentication required.", record.path);
    }
    if (authorization != "Bearer " + options.bearer_token) {
      return error_answer(403, "AccessDenied", "Access denied: invalid credentials.", record.path);
    }
    bool needs_project = record.bucket.empty() || (record.method == "PUT" && record.key.empty());
    if (!options.required_project_id.empty() && needs_project &&
        record.header("x-goog-project-id") != options.required_project_id) {
      return error_answer(400, "InvalidArgument", "Invalid argument: x-goog-project-id.",
                          record.path);
    }
    return std::nullopt;
  }

  if (authorization.empty()) return error_answer(403, "AccessDenied", "Access Denied", record.path);
  const std::string algorithm = "AWS4-HMAC-SHA256 ";
  if (!starts_with(authorization, algorithm)) {
    return error_answer(400, "InvalidArgument", "Unsupported Authorization Type", record.path,
                        {{"ArgumentName", "Authorization"}});
  }
  std::string credential, signed_headers, signature;
  for (const auto &part : split(authorization.substr(algorithm.size()), ',')) {
    std::string item = trim(part);
    if (starts_with(item, "Credential=")) credential = item.substr(11);
    if (starts_with(item, "SignedHeaders=")) signed_headers = item.substr(14);
    if (starts_with(item, "Signature=")) signature = item.substr(10);
  }
  auto scope = split(credential, '/');
  if (scope.size() != 5 || scope[4] != "aws4_request" || signed_headers.empty() ||
      signature.empty()) {
    return error_answer(400, "AuthorizationHeaderMalformed",
                        "The authorization header is malformed.", record.path);
  }
  if (scope[0] != options.access_key_id) {
    return error_answer(403, "InvalidAccessKeyId",
                        "The AWS Access Key Id you provided does not exist in our records.",
                        record.path, {{"AWSAccessKeyId", scope[0]}});
  }
  std::string region = expected_region(record.bucket);
  if (!region.empty() && scope[2] != region) {
    return error_answer(400, "AuthorizationHeaderMalformed",
                        "The authorization header is malformed; the region '" + scope[2] +
                            "' is wrong; expecting '" + region + "'",
                        record.path, {{"Region", region}});
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
  std::string amz_date = record.header("x-amz-date");

  // The canonical request is rebuilt from what arrived: the path and query decoded and
  // encoded again, so a client that signs one text and sends another is caught.
  std::string canonical_query;
  {
    std::vector<std::pair<std::string, std::string>> encoded;
    for (const auto &[name, value] : query) {
      encoded.emplace_back(uri_encode(name, false), uri_encode(value, false));
    }
    std::sort(encoded.begin(), encoded.end());
    for (const auto &[name, value] : encoded) {
      if (!canonical_query.empty()) canonical_query += '&';
      canonical_query += name + "=" + value;
    }
  }
  std::string canonical_headers;
  bool host_signed = false;
  for (const auto &name : split(signed_headers, ';')) {
    if (name == "host") host_signed = true;
    if (name != lower(name) || !record.has_header(name)) {
      return error_answer(403, "SignatureDoesNotMatch",
                          "A signed header is missing or not in lower case: " + name, record.path);
    }
    std::string values;
    auto range = req.headers.equal_range(name);
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
  std::string scope_text = scope[1] + "/" + scope[2] + "/" + scope[3] + "/" + scope[4];
  std::string string_to_sign = "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope_text + "\n" +
                               hex_of(digest_of(EVP_sha256(), canonical_request));
  std::string key = hmac_sha256("AWS4" + options.secret_access_key, scope[1]);
  key = hmac_sha256(key, scope[2]);
  key = hmac_sha256(key, scope[3]);
  key = hmac_sha256(key, "aws4_request");
  std::string expected = hex_of(hmac_sha256(key, string_to_sign));
  if (!host_signed || !starts_with(amz_date, scope[1]) || expected != signature) {
    return error_answer(403, "SignatureDoesNotMatch",
                        "The request signature we calculated does not match the signature "
                        "you provided. Check your key and signing method.",
                        record.path,
                        {{"AWSAccessKeyId", scope[0]},
                         {"StringToSign", string_to_sign},
                         {"SignatureProvided", signature},
                         {"CanonicalRequest", canonical_request}});
  }
  return std::nullopt;
}

Answer FakeS3Server::State::dispatch(const httplib::Request &req, const RecordedRequest &record,
                                     const Query &query, const std::string &body,
                                     bool body_discarded, uint64_t body_length) {
  if (record.bucket.empty()) {
    if (record.method == "GET" || record.method == "HEAD") return list_service(req);
    return error_answer(405, "MethodNotAllowed",
                        "The specified method is not allowed against this resource.", record.path);
  }
  if (record.key.empty()) return bucket_request(req, record, query, body);
  if (record.method == "GET") return get_object(req, record, false);
  if (record.method == "HEAD") return get_object(req, record, true);
  if (record.method == "PUT" && record.has_header("x-amz-copy-source")) {
    return copy_object(req, record);
  }
  if (record.method == "PUT") return put_object(req, record, body, body_discarded, body_length);
  if (record.method == "DELETE") {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(record.bucket);
    if (bucket == buckets.end()) {
      return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                          {{"BucketName", record.bucket}});
    }
    bucket->second.objects.erase(record.key);
    return status_answer(204);
  }
  return error_answer(501, "NotImplemented",
                      "A header you provided implies functionality that is not implemented",
                      record.path);
}

Answer FakeS3Server::State::get_object(const httplib::Request &, const RecordedRequest &record,
                                       bool head) {
  std::shared_ptr<const FakeS3Object> object;
  {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(record.bucket);
    if (bucket == buckets.end()) {
      if (head) return status_answer(404);
      return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                          {{"BucketName", record.bucket}});
    }
    auto found = bucket->second.objects.find(record.key);
    if (found == bucket->second.objects.end()) {
      if (head) return status_answer(404);
      return error_answer(404, "NoSuchKey", "The specified key does not exist.", record.path,
                          {{"Key", record.key}});
    }
    object = found->second;
  }
  std::string if_match = record.header("if-match");
  std::string if_none_match = record.header("if-none-match");
  if (!if_match.empty() && if_match != object->etag) {
    if (head) return status_answer(412);
    return error_answer(412, "PreconditionFailed",
                        "At least one of the pre-conditions you specified did not hold",
                        record.path, {{"Condition", "If-Match"}});
  }
  if (!if_none_match.empty() && if_none_match == object->etag) return status_answer(304);

  Answer answer;
  answer.object = object;
  answer.content_type = object->content_type;
  answer.generated = object->generated;
  answer.length = object->size;
  if (!object->generated) answer.body = std::shared_ptr<const std::string>(object, &object->data);
  answer.headers = {{"ETag", object->etag},
                    {"Last-Modified", rfc1123(object->last_modified)},
                    {"Accept-Ranges", "bytes"}};
  for (const auto &[name, value] : object->metadata) {
    answer.headers.emplace_back("x-amz-meta-" + name, value);
  }
  for (const auto &header : object->extra_headers) answer.headers.push_back(header);

  std::string range = record.header("range");
  if (range.empty() || !starts_with(range, "bytes=") || range.find(',') != std::string::npos) {
    return answer;
  }
  std::string range_text = range.substr(6);
  size_t dash = range_text.find('-');
  if (dash == std::string::npos) return answer;
  std::string first_text = range_text.substr(0, dash);
  std::string last_text = range_text.substr(dash + 1);
  uint64_t size = object->size;
  uint64_t first = 0;
  uint64_t last = size == 0 ? 0 : size - 1;
  try {
    if (first_text.empty()) {
      uint64_t suffix = std::stoull(last_text);
      first = suffix >= size ? 0 : size - suffix;
    } else {
      first = std::stoull(first_text);
      if (!last_text.empty()) last = std::min<uint64_t>(std::stoull(last_text), last);
    }
  } catch (const std::exception &) {
    return answer;  // an unparsable range is ignored, as S3 does
  }
  if (first >= size || (first_text.empty() && last_text == "0")) {
    if (head) return status_answer(416);
    Answer refused =
        error_answer(416, "InvalidRange", "The requested range is not satisfiable", record.path,
                     {{"RangeRequested", range}, {"ActualObjectSize", std::to_string(size)}});
    refused.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
    return refused;
  }
  if (!first_text.empty() && !last_text.empty() && std::stoull(last_text) < first) return answer;
  answer.status = 206;
  answer.offset = first;
  answer.length = last - first + 1;
  answer.headers.emplace_back(
      "Content-Range",
      "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
  return answer;
}

Answer FakeS3Server::State::put_object(const httplib::Request &, const RecordedRequest &record,
                                       const std::string &body, bool body_discarded,
                                       uint64_t body_length) {
  if (!record.has_header("content-length")) {
    return error_answer(411, "MissingContentLength",
                        "You must provide the Content-Length HTTP header.", record.path);
  }
  auto object = std::make_shared<FakeS3Object>();
  if (record.has_header("content-type")) object->content_type = record.header("content-type");
  for (const auto &[name, value] : record.headers) {
    for (const std::string prefix : {"x-amz-meta-", "x-goog-meta-"}) {
      if (starts_with(name, prefix)) object->metadata[name.substr(prefix.size())] = value;
    }
  }
  object->generated = body_discarded;
  object->size = body_length;
  if (!body_discarded) object->data = body;
  object->etag = body_discarded ? "\"" + fake_s3_md5_hex(std::to_string(body_length)) + "\""
                                : "\"" + fake_s3_md5_hex(body) + "\"";
  object->last_modified = time(nullptr);
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(record.bucket);
  if (bucket == buckets.end()) {
    return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                        {{"BucketName", record.bucket}});
  }
  Answer answer;
  answer.headers.emplace_back("ETag", object->etag);
  bucket->second.objects[record.key] = std::move(object);
  return answer;
}

Answer FakeS3Server::State::copy_object(const httplib::Request &, const RecordedRequest &record) {
  // httplib hands header values over percent-decoded already.
  std::string source = record.header("x-amz-copy-source");
  if (starts_with(source, "/")) source = source.substr(1);
  size_t slash = source.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == source.size()) {
    return error_answer(400, "InvalidArgument",
                        "Copy Source must mention the source bucket and key", record.path);
  }
  std::string source_bucket = source.substr(0, slash);
  std::string source_key = source.substr(slash + 1);
  std::string directive = record.header("x-amz-metadata-directive");
  bool replace = directive == "REPLACE";
  std::lock_guard lock(mutex);
  auto from = buckets.find(source_bucket);
  if (from == buckets.end()) {
    return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                        {{"BucketName", source_bucket}});
  }
  auto found = from->second.objects.find(source_key);
  if (found == from->second.objects.end()) {
    return error_answer(404, "NoSuchKey", "The specified key does not exist.", record.path,
                        {{"Key", source_key}});
  }
  auto to = buckets.find(record.bucket);
  if (to == buckets.end()) {
    return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                        {{"BucketName", record.bucket}});
  }
  if (!replace && source_bucket == record.bucket && source_key == record.key) {
    return error_answer(400, "InvalidRequest",
                        "This copy request is illegal because it is trying to copy an object to "
                        "itself without changing the object's metadata.",
                        record.path);
  }
  auto copy = std::make_shared<FakeS3Object>(*found->second);
  if (replace) {
    copy->content_type =
        record.has_header("content-type") ? record.header("content-type") : "binary/octet-stream";
    copy->metadata.clear();
    for (const auto &[name, value] : record.headers) {
      if (starts_with(name, "x-amz-meta-")) copy->metadata[name.substr(11)] = value;
    }
  }
  copy->last_modified = time(nullptr);
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CopyObjectResult><LastModified>" +
                    iso8601(copy->last_modified) + "</LastModified><ETag>" +
                    xml_escape(copy->etag) + "</ETag></CopyObjectResult>";
  to->second.objects[record.key] = std::move(copy);
  return xml_answer(200, std::move(xml));
}

Answer FakeS3Server::State::list_bucket(const RecordedRequest &record, const Query &query) {
  std::string prefix = query_value(query, "prefix").value_or("");
  std::string marker = query_value(query, "marker").value_or("");
  std::string delimiter = query_value(query, "delimiter").value_or("");
  size_t max_keys = 1000;
  if (auto text = query_value(query, "max-keys")) {
    try {
      max_keys = std::min<size_t>(std::stoul(*text), 1000);
    } catch (const std::exception &) {
      return error_answer(400, "InvalidArgument",
                          "Provided max-keys not an integer or within "
                          "integer range",
                          record.path);
    }
  }
  std::string contents, prefixes, last_returned;
  std::set<std::string> seen_prefixes;
  size_t returned = 0;
  bool truncated = false;
  std::lock_guard lock(mutex);
  auto bucket = buckets.find(record.bucket);
  if (bucket == buckets.end()) {
    return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                        {{"BucketName", record.bucket}});
  }
  for (auto it = bucket->second.objects.upper_bound(marker); it != bucket->second.objects.end();
       ++it) {
    const std::string &key = it->first;
    if (!starts_with(key, prefix)) continue;
    std::string common;
    if (!delimiter.empty()) {
      size_t at = key.find(delimiter, prefix.size());
      if (at != std::string::npos) common = key.substr(0, at + delimiter.size());
    }
    if (!common.empty() && (seen_prefixes.count(common) > 0 || common <= marker)) continue;
    if (returned == max_keys) {
      truncated = true;
      break;
    }
    ++returned;
    if (!common.empty()) {
      seen_prefixes.insert(common);
      prefixes += "<CommonPrefixes><Prefix>" + xml_escape(common) + "</Prefix></CommonPrefixes>";
      last_returned = common;
      continue;
    }
    const auto &object = *it->second;
    contents += "<Contents><Key>" + xml_escape(key) + "</Key><LastModified>" +
                iso8601(object.last_modified) + "</LastModified><ETag>" + xml_escape(object.etag) +
                "</ETag><Size>" + std::to_string(object.size) +
                "</Size><Owner><ID>fake-owner-id</ID><DisplayName>fake-owner</DisplayName>"
                "</Owner><StorageClass>STANDARD</StorageClass></Contents>";
    last_returned = key;
  }
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult "
      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>" +
      xml_escape(record.bucket) + "</Name><Prefix>" + xml_escape(prefix) + "</Prefix><Marker>" +
      xml_escape(marker) + "</Marker><MaxKeys>" + std::to_string(max_keys) + "</MaxKeys>";
  if (!delimiter.empty()) xml += "<Delimiter>" + xml_escape(delimiter) + "</Delimiter>";
  xml += std::string("<IsTruncated>") + (truncated ? "true" : "false") + "</IsTruncated>";
  // Like S3, NextMarker comes only with a delimiter; without one the last key is the marker.
  if (truncated && !delimiter.empty()) {
    xml += "<NextMarker>" + xml_escape(last_returned) + "</NextMarker>";
  }
  xml += contents + prefixes + "</ListBucketResult>";
  return xml_answer(200, std::move(xml));
}

Answer FakeS3Server::State::list_service(const httplib::Request &) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListAllMyBucketsResult "
      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Owner><ID>fake-owner-id</ID>"
      "<DisplayName>fake-owner</DisplayName></Owner><Buckets>";
  std::lock_guard lock(mutex);
  for (const auto &[name, bucket] : buckets) {
    xml += "<Bucket><Name>" + xml_escape(name) + "</Name><CreationDate>" + iso8601(bucket.created) +
           "</CreationDate></Bucket>";
  }
  xml += "</Buckets></ListAllMyBucketsResult>";
  return xml_answer(200, std::move(xml));
}

Answer FakeS3Server::State::bucket_request(const httplib::Request &req,
                                           const RecordedRequest &record, const Query &query,
                                           const std::string &body) {
  const std::string &name = record.bucket;
  if (record.method == "GET" && query_value(query, "list-type")) {
    return error_answer(501, "NotImplemented", "Only version 1 listings are served here",
                        record.path);
  }
  if (record.method == "GET" && query_value(query, "location")) {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(name);
    if (bucket == buckets.end()) {
      return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                          {{"BucketName", name}});
    }
    std::string region = bucket->second.region == "us-east-1" ? "" : bucket->second.region;
    return xml_answer(200,
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<LocationConstraint "
                      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">" +
                          xml_escape(region) + "</LocationConstraint>");
  }
  if (record.method == "GET") return list_bucket(record, query);
  if (record.method == "HEAD") {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(name);
    if (bucket == buckets.end()) return status_answer(404);
    Answer answer;
    answer.headers.emplace_back("x-amz-bucket-region", bucket->second.region);
    return answer;
  }
  if (record.method == "PUT") {
    std::string region = options.default_region;
    size_t open = body.find("<LocationConstraint>");
    size_t close = body.find("</LocationConstraint>");
    if (open != std::string::npos && close != std::string::npos && close > open) {
      region = body.substr(open + 20, close - open - 20);
    }
    std::lock_guard lock(mutex);
    if (buckets.count(name) > 0) {
      return error_answer(409, "BucketAlreadyOwnedByYou",
                          "Your previous request to create the named bucket succeeded and you "
                          "already own it.",
                          record.path, {{"BucketName", name}});
    }
    auto &bucket = buckets[name];
    bucket.region = region;
    bucket.created = time(nullptr);
    Answer answer;
    answer.headers.emplace_back("Location", "/" + name);
    (void)req;
    return answer;
  }
  if (record.method == "DELETE") {
    std::lock_guard lock(mutex);
    auto bucket = buckets.find(name);
    if (bucket == buckets.end()) {
      return error_answer(404, "NoSuchBucket", "The specified bucket does not exist", record.path,
                          {{"BucketName", name}});
    }
    if (!bucket->second.objects.empty()) {
      return error_answer(409, "BucketNotEmpty", "The bucket you tried to delete is not empty",
                          record.path, {{"BucketName", name}});
    }
    buckets.erase(bucket);
    return status_answer(204);
  }
  return error_answer(501, "NotImplemented",
                      "A header you provided implies functionality that is not implemented",
                      record.path);
}

void FakeS3Server::State::emit(const httplib::Request &req, httplib::Response &res, Answer answer,
                               const std::optional<FakeS3Fault> &fault) {
  uint64_t number = 0;
  {
    std::lock_guard lock(mutex);
    number = ++request_number;
  }
  char request_id[32];
  snprintf(request_id, sizeof request_id, "FAKE%016llX", static_cast<unsigned long long>(number));
  res.status = answer.status;
  res.set_header("x-amz-request-id", request_id);
  res.set_header("x-amz-id-2", std::string("fakeid2/") + request_id);
  res.set_header("Server", "FakeS3");
  for (const auto &[name, value] : answer.headers) res.set_header(name, value);

  uint64_t length = answer.length;
  if (req.method == "HEAD") {
    res.set_header("Content-Length", std::to_string(length));
    if (answer.object) res.set_header("Content-Type", answer.content_type);
    return;
  }
  if (length == 0) {
    if (answer.body || answer.object) res.set_content("", answer.content_type);
    return;
  }

  using Kind = FakeS3Fault::Kind;
  Kind kind = fault ? fault->kind : Kind::kAnswer;
  uint64_t counted_extra = kind == Kind::kLongBody ? fault->bytes : 0;
  uint64_t trailing = kind == Kind::kTrailingBytes ? fault->bytes : 0;
  uint64_t declared = length + counted_extra;
  uint64_t cut =
      (kind == Kind::kResetAfter || kind == Kind::kShortBody || kind == Kind::kStallAfter)
          ? std::min<uint64_t>(fault->bytes, length)
          : declared;
  std::chrono::milliseconds stall = fault ? fault->delay : std::chrono::milliseconds(0);
  int local_port = port;
  int remote_port = req.remote_port;
  std::string content_type = answer.content_type;
  res.set_content_provider(
      declared, content_type,
      [this, answer = std::move(answer), cut, declared, trailing, kind, stall, local_port,
       remote_port, length](size_t offset, size_t, httplib::DataSink &sink) {
        if (offset >= cut && cut < declared) {
          if (kind == Kind::kStallAfter) sleep_unless_stopping(stall);
          if (kind == Kind::kResetAfter) reset_connection(local_port, remote_port);
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
            if (!sink.write(pattern.data() + at, piece)) return false;
            written += piece;
          }
        } else if (!sink.write(answer.body->data() + answer.offset + offset, size)) {
          return false;
        }
        if (offset + size == length && trailing > 0) {
          std::string tail(trailing, 'X');
          sink.write(tail.data(), tail.size());
        }
        return true;
      });
}

}  // namespace vorlan::test

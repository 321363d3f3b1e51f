// An in-process S3 server for tests: in-memory buckets and objects, Signature V4, Content-MD5,
// CRC32C (x-goog-hash, x-amz-checksum-crc32c) and bearer-token checks, and faults scripted per
// request. It listens on 127.0.0.1 on a free port from construction to destruction and serves on
// its own thread pool.
//
// Addressing: path style ("/bucket/key") and virtual-host style (Host "bucket.<endpoint>",
// where the endpoint is "127.0.0.1" or "localhost", with or without the port). libcurl resolves
// "*.localhost" to loopback, so a client can use the host name "localhost:<port>" for
// virtual-host style. Routing uses the raw request target: keys are percent-decoded exactly once
// ("+" stays "+"), "." and ".." segments are kept. Listings, copies and buckets are emulated
// only as far as the tests need; s3rver checks the rest for real. Multipart uploads are checked
// as S3 checks them, which s3rver does not (it has no abort or listing of uploads either).
//
// Signature V4 is verified over the values received, and, as AWS requires, host, content-type
// and every x-amz-* header must be signed; as httplib decodes percent escapes in header values,
// a signed header holding escapes verifies only for x-amz-copy-source, which is encoded again
// canonically. Every request is recorded (see RecordedRequest) before it is
// answered; a fault is used up only by a request whose body arrived whole. All members are safe
// to call from any thread while requests are being served.
#ifndef VORLAN_TESTS_FAKE_S3_SERVER_H
#define VORLAN_TESTS_FAKE_S3_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorlan::test {

using FakeS3Details = std::vector<std::pair<std::string, std::string>>;

struct FakeS3Object {
  std::string data{};
  std::string content_type = "binary/octet-stream";
  std::string content_encoding{};                 // sent as Content-Encoding when set
  std::map<std::string, std::string> metadata{};  // names without "x-amz-meta-", lower case
  std::string etag{};         // empty: the quoted MD5 of data, computed on store
  int64_t last_modified = 0;  // seconds since the epoch; 0: the time of storing
  // A generated object holds no data: its body is `size` bytes of FakeS3Server::generated_byte.
  bool generated = false;
  uint64_t size = 0;
  // Base64 of the CRC32C a PUT sent (x-goog-hash crc32c= or x-amz-checksum-crc32c) and the
  // body matched; empty when none was sent.
  std::string crc32c{};
  // Google Cloud's version number (x-goog-generation): the store's counter, set on every store.
  int64_t generation = 0;
  // The PUT's storage class, answered as x-amz-storage-class. GLACIER and DEEP_ARCHIVE objects
  // answer GET 403 InvalidObjectState until restored (POST ?restore; a test sets kDone).
  std::string storage_class{};
  enum class Restore { kNone, kOngoing, kDone } restore = Restore::kNone;
  std::string restore_request{};
};

// One scripted misbehaviour. Build it with a factory, narrow it with on() and times(), and
// hand it to FakeS3Server::add_fault. Faults are tried in the order added; the first one that
// matches a request and has uses left is consumed and applied.
struct FakeS3Fault {
  enum class Kind {
    kAnswer,           // answer `status` with `body`, or with an <Error> built from code/message
    kRealAnswer,       // the real answer, as shaped by chunked() and ignoring_range()
    kResetAfter,       // the real answer's headers and first `bytes` body bytes, then a TCP reset
    kShortBody,        // the real answer's headers and first `bytes` body bytes, then a clean close
    kLongBody,         // the real answer and `bytes` more body bytes, all counted in its
                       // Content-Length (a body longer than the request asked for)
    kTrailingBytes,    // the real answer, then `bytes` bytes beyond its Content-Length
    kDelay,            // wait `delay`, then the real answer
    kStallAfter,       // the real answer's headers and first `bytes` body bytes, then silence for
                       // `delay` (or until the server stops), then a close
    kCloseUnanswered,  // the whole request read, then a clean close without any answer (as a
                       // kept-alive connection that the server timed out just then)
    kResetInBody,      // a TCP reset once more than `bytes` of the request body arrived
    kEndlessError,     // `status` with a body that never ends: 4 MiB, then silence until the
                       // server stops
  };

  // Answers `status` with an S3 error document (no body when code is empty).
  static FakeS3Fault error(int status, std::string code, std::string message = "",
                           FakeS3Details details = {});
  // `status` with a document that is not well-formed XML.
  static FakeS3Fault malformed_xml(int status = 200);
  // `status` with exactly `body`.
  static FakeS3Fault raw(int status, std::string body);
  static FakeS3Fault reset_after(uint64_t bytes) { return of(Kind::kResetAfter, bytes); }
  static FakeS3Fault short_body(uint64_t bytes) { return of(Kind::kShortBody, bytes); }
  static FakeS3Fault long_body(uint64_t extra_bytes) { return of(Kind::kLongBody, extra_bytes); }
  static FakeS3Fault trailing_bytes(uint64_t bytes) { return of(Kind::kTrailingBytes, bytes); }
  static FakeS3Fault close_unanswered() { return of(Kind::kCloseUnanswered); }
  static FakeS3Fault reset_in_body(uint64_t bytes) { return of(Kind::kResetInBody, bytes); }
  static FakeS3Fault delay_by(std::chrono::milliseconds delay) {
    return of(Kind::kDelay, 0, delay);
  }
  static FakeS3Fault stall_after(uint64_t bytes, std::chrono::milliseconds stall) {
    return of(Kind::kStallAfter, bytes, stall);
  }
  static FakeS3Fault real_answer() { return of(Kind::kRealAnswer); }
  static FakeS3Fault endless_error(int status) {
    return of(Kind::kEndlessError, 4 << 20, {}, status);
  }

  // Sends the body in chunks, without Content-Length.
  FakeS3Fault &chunked() { return set(send_chunked, true); }
  // Sends no Content-Length: a HEAD answer without it, a body that ends with the connection.
  FakeS3Fault &unmeasured() { return set(send_unmeasured, true); }
  // Answers as if the request carried no Range header, as a front end that drops it would.
  FakeS3Fault &ignoring_range() { return set(range, std::string()); }
  // Answers as if the request asked for this Range ("bytes=0-9").
  FakeS3Fault &answering_range(std::string value) { return set(range, std::move(value)); }

  // Matches only requests with this method ("" any), bucket ("" any) and key (nullopt: any
  // key; "": requests on the bucket itself or the service).
  FakeS3Fault &on(std::string method, std::string bucket = "",
                  std::optional<std::string> key = std::nullopt);
  // Matches only requests whose raw query holds this text ("partNumber=2&", "uploadId=").
  FakeS3Fault &with_query(std::string value) { return set(query, std::move(value)); }
  // Matches only requests whose Range header starts with `prefix` ("bytes=65536-").
  FakeS3Fault &with_range(std::string prefix) { return set(range_prefix, std::move(prefix)); }
  // How many matching requests it applies to; -1: all of them.
  FakeS3Fault &times(int count) { return set(remaining, count); }
  // A header of the answer, replacing the real answer's of that name.
  FakeS3Fault &with_header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  // Runs once the faulty answer is chosen, before it goes out (e.g. to replace the object
  // the next attempt finds). It may call the server's members.
  FakeS3Fault &then(std::function<void()> value) { return set(action, std::move(value)); }

  Kind kind = Kind::kAnswer;
  std::string method{};
  std::string bucket{};
  std::optional<std::string> key{};
  std::string query{};
  std::optional<std::string> range_prefix{};
  int remaining = 1;
  int status = 500;
  std::string code{};
  std::string message{};
  FakeS3Details details{};
  std::string body{};  // kAnswer: sent as is when set
  uint64_t bytes = 0;
  std::chrono::milliseconds delay{0};
  bool send_chunked = false;
  bool send_unmeasured = false;
  std::optional<std::string> range{};  // the Range header answered; "" for none
  FakeS3Details headers{};
  std::function<void()> action{};

 private:
  static FakeS3Fault of(Kind kind, uint64_t bytes = 0, std::chrono::milliseconds delay = {},
                        int status = 500) {
    return {.kind = kind, .status = status, .bytes = bytes, .delay = delay};
  }
  template <class Field, class Value>
  FakeS3Fault &set(Field &field, Value value) {
    field = std::move(value);
    return *this;
  }
};

// What arrived, as it arrived.
struct RecordedRequest {
  std::string method;
  std::string target;  // the raw request target: path and query, undecoded
  std::string path;    // the raw path part of target
  std::string query;   // the raw query after '?', "" when none
  std::string host;    // the Host header
  // Names in lower case. httplib decodes percent escapes in header values before anyone sees
  // them, so an encoded x-amz-copy-source arrives here decoded.
  std::multimap<std::string, std::string> headers;
  std::string bucket;   // as routed and decoded ("" for the service)
  std::string key;      // as routed and decoded ("" for bucket requests)
  int remote_port = 0;  // tells connections apart
  int status = 0;       // the status answered; 0 until answered

  // The first value of a header (name in any case), "" when absent.
  std::string header(const std::string &name) const;
  bool has_header(const std::string &name) const;
};

class FakeS3Server {
 public:
  enum class Auth {
    kNone,    // accept every request, signed or not, without checking
    kSigV4,   // require AWS Signature V4 by access_key_id/secret_access_key
    kBearer,  // require "Authorization: Bearer <bearer_token>", else 401 as Google Cloud
  };

  // How GET and HEAD answers carry the object's digests in x-goog-hash, as Google Cloud does:
  // the CRC32C and, when the ETag is the MD5, the MD5.
  enum class GoogHash {
    kNone,
    kSeparate,           // "x-goog-hash: crc32c=..." and "x-goog-hash: md5=..."
    kOneHeaderMd5First,  // "x-goog-hash: md5=..., crc32c=..."
  };

  struct Options {
    Auth auth = Auth::kNone;
    std::string access_key_id = "AKIDFAKE";
    std::string secret_access_key = "fake-secret";
    // kSigV4: when set, x-amz-security-token must carry it. A signature's scope must name
    // the bucket's region (else 400 AuthorizationHeaderMalformed with <Region>).
    std::string security_token{};
    std::string bearer_token = "fake-token";
    int keep_alive_seconds = 2;
    // Both set: HTTPS only, with this PEM certificate (chain) and its private key.
    std::string tls_certificate_path{};
    std::string tls_key_path{};
    // Multipart uploads: a larger part number is refused (400 InvalidArgument); Complete
    // refuses a part but the last below min_part_size (400 EntityTooSmall).
    int max_part_number = 10000;
    uint64_t min_part_size = 0;
    // A slow, far link: bytes/s of request and answer bodies per connection and for all
    // connections together (0: no cap), and a delay before each request is read and before
    // each answer goes out.
    double connection_rate = 0;
    double link_rate = 0;
    std::chrono::milliseconds delay{0};
    GoogHash goog_hash = GoogHash::kNone;
    // GET and HEAD answer a stored crc32c as x-amz-checksum-crc32c.
    bool amz_checksum = false;
    // kSigV4: the server's clock is this far ahead of the host's; a signature more than 15
    // minutes off it is refused (403 RequestTimeTooSkewed).
    int clock_offset_seconds = 0;
  };

  FakeS3Server();
  explicit FakeS3Server(Options options);
  ~FakeS3Server();
  FakeS3Server(const FakeS3Server &) = delete;
  FakeS3Server &operator=(const FakeS3Server &) = delete;

  int port() const;
  std::string host() const;  // "127.0.0.1:<port>", for HTTP or, with a certificate, HTTPS

  // Direct access to the stored state, bypassing HTTP. `streaming` buckets keep no object
  // data: PUT bodies (parts too) are discarded and their objects become generated ones.
  // Buckets are in us-east-1 unless a region is given.
  void create_bucket(const std::string &bucket, const std::string &region = "",
                     bool streaming = false);
  // Requests to the bucket must then name who pays (x-goog-user-project, a userProject query
  // or x-amz-request-payer), else 400 UserProjectMissing as Google Cloud answers.
  void set_requester_pays(const std::string &bucket);
  void put_object(const std::string &bucket, const std::string &key, FakeS3Object object);
  void put_object(const std::string &bucket, const std::string &key, std::string data);
  std::optional<FakeS3Object> object(const std::string &bucket, const std::string &key) const;

  // Keys of the multipart uploads in progress in the bucket, one per upload.
  std::vector<std::string> uploads_in_progress(const std::string &bucket) const;

  void add_fault(FakeS3Fault fault);
  void clear_faults();

  std::vector<RecordedRequest> requests() const;
  size_t request_count() const;
  size_t count(const std::string &method) const;  // requests with this method
  // Distinct client connections seen so far.
  size_t connection_count() const;
  void clear_requests();
  // Object bytes sent in GET answers so far, counted as each write begins: bytes a client has
  // are counted by then.
  uint64_t body_bytes_sent() const;

  // Byte `offset` of every generated object; the bytes repeat with this period.
  static char generated_byte(uint64_t offset);
  static constexpr uint64_t kGeneratedPeriod = 65521;  // prime: no chunk size lines up with it

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Helpers shared by tests that check the wire.
std::string fake_s3_md5_base64(const std::string &data);
std::string fake_s3_md5_hex(const std::string &data);
// Base64 of the CRC32C's 4 big-endian bytes, as x-goog-hash carries it.
std::string fake_s3_crc32c_base64(const std::string &data);
// Sends `request` as is to 127.0.0.1:`port` and returns all that comes back until the peer
// closes or stays silent for `timeout_ms`.
std::string send_raw_http(int port, const std::string &request, int timeout_ms = 10000);

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_FAKE_S3_SERVER_H

#include "http_exchange.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "library_state.h"
#include "status_table.h"

namespace {

// Error bodies are small; a larger one ends the exchange here and counts as having no document.
constexpr size_t kMaxErrorBodySize = size_t{1024} * 1024;
constexpr long kDownloadBufferSize = 256L * 1024;
constexpr long kUploadBufferSize = 512L * 1024;
// Per easy handle; a session's requests mostly go to one host.
constexpr long kMaxCachedConnections = 4;

struct slist_free {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using header_list_ptr = std::unique_ptr<curl_slist, slist_free>;

// Appends in place: libcurl returns the list's head, or null (leaving the list intact) when
// memory runs out.
bool append_header(header_list_ptr &headers, const char *header) {
  curl_slist *head = curl_slist_append(headers.get(), header);
  if (head == nullptr) return false;
  if (headers == nullptr) headers.reset(head);
  return true;
}

struct exchange_state {
  const vorlan_s3::http_request *request;
  vorlan_s3::http_response_handler *handler;
  vorlan_s3::response_headers headers;
  bool headers_complete = false;
  // Set when a callback (ours or the caller's) ended the transfer; wins over libcurl's code.
  S3Status abort_status = S3StatusOK;
  uint64_t body_received = 0;
  uint64_t body_sent = 0;
  std::string error_body;
  bool error_body_cut = false;
  // Kept for the whole exchange: libcurl asks for them at each new TLS connection.
  std::shared_ptr<const vorlan_s3::extra_authorities> authorities;
};

bool is_success(long code) { return code >= 200 && code < 300; }

size_t on_header_line(char *data, size_t size, size_t count, void *user) {
  auto *state = static_cast<exchange_state *>(user);
  size_t length = size * count;
  std::string_view line(data, length);
  // Trailers of a chunked body come after the final headers; they change nothing.
  if (state->headers_complete) return length;
  if (line == "\r\n" || line == "\n") {
    long code = state->headers.http_code();
    if (code >= 100 && code < 200) return length;  // an interim answer; the final one follows
    state->headers_complete = true;
    if (!is_success(code)) return length;
    S3Status status = state->handler->on_headers(state->headers);
    if (status != S3StatusOK) {
      state->abort_status = status;
      return 0;
    }
    return length;
  }
  state->headers.add_line(line);
  return length;
}

size_t on_body_data(char *data, size_t size, size_t count, void *user) {
  auto *state = static_cast<exchange_state *>(user);
  size_t length = size * count;
  if (!is_success(state->headers.http_code())) {
    // A body past the cap may never end: the connection is dropped and the status stands.
    if (length > kMaxErrorBodySize - state->error_body.size()) {
      state->error_body_cut = true;
      return 0;
    }
    state->error_body.append(data, length);
    return length;
  }
  state->body_received += length;
  S3Status status = state->handler->on_body(data, length);
  if (status != S3StatusOK) {
    state->abort_status = status;
    return 0;
  }
  return length;
}

size_t on_body_read(char *buffer, size_t size, size_t count, void *user) {
  auto *state = static_cast<exchange_state *>(user);
  const vorlan_s3::http_request &request = *state->request;
  uint64_t remaining = request.body_length - state->body_sent;
  if (remaining == 0) return 0;
  size_t room = std::min<uint64_t>(size * count, remaining);
  int supplied = 0;
  if (request.pull_body) {
    supplied = request.pull_body(buffer, static_cast<int>(room));
  } else {
    supplied =
        static_cast<int>(std::min<uint64_t>(room, request.fixed_body.size() - state->body_sent));
    std::memcpy(buffer, request.fixed_body.data() + state->body_sent,
                static_cast<size_t>(supplied));
  }
  if (supplied < 0 || static_cast<size_t>(supplied) > room) {
    state->abort_status = S3StatusAbortedByCallback;
    return CURL_READFUNC_ABORT;
  }
  if (supplied == 0) {
    // The body ended before its announced length: break the connection so that the service
    // never sees a complete request and stores no short object.
    state->abort_status = S3StatusErrorIncompleteBody;
    return CURL_READFUNC_ABORT;
  }
  state->body_sent += static_cast<uint64_t>(supplied);
  return static_cast<size_t>(supplied);
}

// libcurl rewinds the body when it resends a request on a new connection (a kept-alive one
// that broke under it). A fixed body can start again; the caller's body only while none of it
// was pulled.
int on_body_seek(void *user, curl_off_t offset, int origin) {
  auto *state = static_cast<exchange_state *>(user);
  if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  if (state->request->pull_body && state->body_sent > 0) return CURL_SEEKFUNC_CANTSEEK;
  state->body_sent = 0;
  return CURL_SEEKFUNC_OK;
}

// Adds the extra authorities to the store that libcurl filled from the system's bundle.
CURLcode add_extra_authorities(CURL *, void *ssl_ctx, void *user) {
  const auto *authorities = static_cast<const vorlan_s3::extra_authorities *>(user);
  X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(ssl_ctx));
  for (const auto &certificate : authorities->certificates) {
    if (X509_STORE_add_cert(store, certificate.get()) != 1) return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
}

bool is_https(const std::string &url) { return url.rfind("https://", 0) == 0; }

// An HTTPS request goes with the extra authorities or not at all.
CURLcode trust_extra_authorities(CURL *curl, const vorlan_s3::extra_authorities &authorities,
                                 char *error_buffer) {
  CURLcode code = curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &add_extra_authorities);
  if (code == CURLE_OK) {
    code = curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &authorities);
  }
  if (code != CURLE_OK) {
    std::snprintf(error_buffer, CURL_ERROR_SIZE,
                  "libcurl's TLS library cannot take the certificate authorities of %s",
                  authorities.path.c_str());
    return CURLE_SSL_CACERT_BADFILE;
  }
#if LIBCURL_VERSION_NUM >= 0x075700
  // A cached store is shared by later connections, which must not see what was added to it.
  curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
  return CURLE_OK;
}

CURLcode configure(CURL *curl, const vorlan_s3::http_request &request, curl_slist *headers,
                   exchange_state *state, char *error_buffer) {
  vorlan_s3::transfer_settings settings = vorlan_s3::current_settings();
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  // The path is signed exactly as built; "." and ".." segments of a key must stay.
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, settings.user_agent.c_str());
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &on_header_line);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, state);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &on_body_data);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, state);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, kMaxCachedConnections);
  // One request per connection at a time: HTTP/2 streams of a connection that is shared by
  // easy handles on different threads are not safe.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // Bodies arrive as stored: a gzip-encoded object's bytes are what its size and MD5 describe.
  curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  // A proxy's answer to CONNECT is not the service's response.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verify_peer ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings.verify_peer ? 2L : 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.connect_timeout_seconds);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.low_speed_time_seconds);
  if (request.timeout_ms > 0) {
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout_ms));
  }
  if (request.method == "HEAD") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  } else if (request.method == "PUT" || request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    // A POST's body is sent as a PUT's: from the read callback, with its Content-Length.
    if (request.method == "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "POST");
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body_length));
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &on_body_read);
    curl_easy_setopt(curl, CURLOPT_READDATA, state);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &on_body_seek);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, state);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
  } else if (request.method != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  state->authorities = std::move(settings.authorities);
  if (state->authorities && is_https(request.url)) {
    return trust_extra_authorities(curl, *state->authorities, error_buffer);
  }
  return CURLE_OK;
}

// "host:port" of a URL, as the request named it.
std::string_view url_authority(std::string_view url) {
  size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  return url.substr(start, end == std::string_view::npos ? url.size() - start : end - start);
}

// libcurl's text for a TLS failure does not say with whom.
std::string tls_failure_message(S3Status status, std::string_view url, const std::string &detail) {
  std::string message = "TLS ";
  message += status == S3StatusServerFailedVerification ? "certificate of " : "with ";
  message += url_authority(url);
  message += status == S3StatusServerFailedVerification ? " not trusted: " : " failed: ";
  return message + detail;
}

// A kept-alive connection can hold what a misbehaving server sent after its last answer, or
// be closed by the server just as it is reused. When such a connection failed before any of
// the answer or the caller's body was used, the request is sent once more on a new connection.
bool reused_connection_went_stale(CURL *curl, CURLcode code, const exchange_state &state) {
  bool caller_body_used = state.body_sent > 0 && state.request->pull_body;
  if (state.headers_complete || caller_body_used || state.abort_status != S3StatusOK) {
    return false;
  }
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:  // garbage read as an HTTP/0.9 answer
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      break;
    default:
      return false;
  }
  long new_connections = 0;
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &new_connections);
  return new_connections == 0;
}

S3Status status_of_http_error(long code, const std::string &body, vorlan_s3::http_result *result) {
  result->has_error_document = vorlan_s3::parse_error_document(body, &result->error);
  if (!result->has_error_document || result->error.code.empty()) {
    return vorlan_s3::status_from_http_code(code);
  }
  S3Status named = vorlan_s3::status_from_error_code(result->error.code);
  S3Status by_code = vorlan_s3::status_from_http_code(code);
  // A code we do not know keeps the HTTP answer's meaning when that says "try again" or "the
  // credentials were refused" (Google Cloud's 401 names codes of its own).
  if (named == S3StatusErrorUnknown &&
      (S3_status_is_retryable(by_code) || by_code == S3StatusHttpErrorUnauthorized)) {
    return by_code;
  }
  return named;
}

}  // namespace

namespace vorlan_s3 {

http_result http_perform(const http_request &request, http_response_handler &handler) {
  http_result result;
  exchange_state state;
  state.request = &request;
  state.handler = &handler;

  header_list_ptr headers;
  bool appended = true;
  for (const std::string &header : request.headers) {
    appended = appended && append_header(headers, header.c_str());
  }
  // Every body goes out at once: a wait for "100 Continue" only delays it.
  if (request.has_body) appended = appended && append_header(headers, "Expect:");
  if (!appended) {
    result.status = S3StatusOutOfMemory;
    return result;
  }

  easy_handle_lease lease;
  char error_buffer[CURL_ERROR_SIZE] = {};
  CURLcode code = CURLE_OK;
  for (int attempt = 0;; ++attempt) {
    error_buffer[0] = '\0';
    code = configure(lease.get(), request, headers.get(), &state, error_buffer);
    if (code != CURLE_OK) break;
    if (attempt > 0) curl_easy_setopt(lease.get(), CURLOPT_FRESH_CONNECT, 1L);
    code = curl_easy_perform(lease.get());
    if (attempt > 0 || !reused_connection_went_stale(lease.get(), code, state)) break;
    state.headers = vorlan_s3::response_headers();
    state.error_body.clear();
    state.body_sent = 0;
  }
  curl_easy_setopt(lease.get(), CURLOPT_ERRORBUFFER, nullptr);

  result.http_code = state.headers_complete ? state.headers.http_code() : 0;
  if (code != CURLE_OK) {
    result.transport_message = error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code);
  }
  if (state.abort_status != S3StatusOK) {
    result.status = state.abort_status;
  } else if (state.headers_complete && !is_success(result.http_code)) {
    result.status = status_of_http_error(result.http_code, state.error_body, &result);
    if (state.error_body_cut) {
      result.transport_message = "HTTP " + std::to_string(result.http_code) +
                                 " answer whose error body passed " +
                                 std::to_string(kMaxErrorBodySize) + " bytes; connection closed";
    }
    if (auto region = state.headers.bucket_region()) result.bucket_region = *region;
    result.content_range = state.headers.content_range().value_or("");
  } else if (code != CURLE_OK) {
    long os_errno = 0;
    curl_easy_getinfo(lease.get(), CURLINFO_OS_ERRNO, &os_errno);
    result.status = status_from_transport_result(code, os_errno);
    if (result.status == S3StatusServerFailedVerification ||
        result.status == S3StatusTransportTlsFailure) {
      result.transport_message =
          tls_failure_message(result.status, request.url, result.transport_message);
    }
  } else if (!state.headers_complete) {
    result.status = S3StatusTransportOther;
  } else if (request.method != "HEAD" && state.headers.content_length()) {
    // libcurl never delivers more than Content-Length: bytes beyond it are not the answer's.
    // When they come with its last bytes the connection is closed; when later, the next request
    // on the connection meets them and is resent on a new one.
    if (state.body_received < *state.headers.content_length()) {
      result.status = S3StatusTransportShortBody;
    }
  }
  return result;
}

}  // namespace vorlan_s3

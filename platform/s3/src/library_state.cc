#include "library_state.h"

#include <libxml/parser.h>
#include <openssl/pem.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "vorlan/s3.h"

namespace vorlan_s3 {

// Idle easy handles beyond this are closed; each one keeps its own few connections.
constexpr size_t kMaxIdleHandles = 64;

// DNS answers and TLS sessions are shared between threads under locks. Connections are not:
// libcurl does not support one connection cache used by concurrently running threads. Each
// easy handle keeps its connections between requests instead, and requests reuse them by
// taking the most recently returned handle.
class shared_transport {
 public:
  shared_transport() {
    share_ = curl_share_init();
    if (share_ == nullptr) throw std::bad_alloc();
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &shared_transport::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &shared_transport::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }
  ~shared_transport() {
    for (CURL *handle : idle_) curl_easy_cleanup(handle);
    curl_share_cleanup(share_);
  }
  shared_transport(const shared_transport &) = delete;
  shared_transport &operator=(const shared_transport &) = delete;

  CURL *take() {
    CURL *handle = nullptr;
    {
      std::lock_guard<std::mutex> guard(idle_mutex_);
      if (!idle_.empty()) {
        handle = idle_.back();
        idle_.pop_back();
      }
    }
    if (handle == nullptr) handle = curl_easy_init();
    if (handle == nullptr) throw std::bad_alloc();
    // Keeps the handle's open connections; only the options go back to their defaults.
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_SHARE, share_);
    return handle;
  }

  void give_back(CURL *handle) {
    {
      std::lock_guard<std::mutex> guard(idle_mutex_);
      if (idle_.size() < kMaxIdleHandles) {
        idle_.push_back(handle);
        return;
      }
    }
    curl_easy_cleanup(handle);
  }

 private:
  static void lock(CURL *, curl_lock_data data, curl_lock_access, void *user) {
    static_cast<shared_transport *>(user)->locks_[index(data)].lock();
  }
  static void unlock(CURL *, curl_lock_data data, void *user) {
    static_cast<shared_transport *>(user)->locks_[index(data)].unlock();
  }
  static size_t index(curl_lock_data data) {
    auto i = static_cast<size_t>(data);
    return i < CURL_LOCK_DATA_LAST ? i : 0;
  }

  CURLSH *share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
  std::mutex idle_mutex_;  // guards idle_
  std::vector<CURL *> idle_;
};

namespace {

// Guards every member of library_state.
std::mutex state_mutex;

struct library_state {
  int initialize_count = 0;
  transfer_settings settings;
  long connect_timeout_override = 0;
  long low_speed_time_override = 0;
  std::shared_ptr<shared_transport> transport;
};

std::once_flag global_setup_once;
CURLcode global_setup_result = CURLE_OK;

void global_setup() {
  std::call_once(global_setup_once, [] {
    global_setup_result = curl_global_init(CURL_GLOBAL_ALL);
    xmlInitParser();
  });
}

long low_speed_time_from_environment() {
  const char *text = std::getenv("VORLAN_S3_LOW_SPEED_TIME");
  if (text == nullptr) return 0;
  char *end = nullptr;
  long seconds = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && seconds > 0 ? seconds : 0;
}

// Applies the defaults and overrides; called with state_mutex held.
void refresh_timeouts(library_state &s) {
  long environment = low_speed_time_from_environment();
  s.settings.connect_timeout_seconds =
      s.connect_timeout_override > 0 ? s.connect_timeout_override : 30;
  s.settings.low_speed_time_seconds = s.low_speed_time_override > 0 ? s.low_speed_time_override
                                      : environment > 0             ? environment
                                                                    : 60;
}

// Never destroyed: requests on other threads may outlive static destruction.
library_state &state() {
  static library_state *instance = [] {
    auto *s = new library_state();
    s->settings.default_host = "s3.amazonaws.com";
    s->settings.user_agent = "vorlan-s3/1.0";
    refresh_timeouts(*s);
    return s;
  }();
  return *instance;
}

std::shared_ptr<shared_transport> current_transport() {
  std::lock_guard<std::mutex> guard(state_mutex);
  library_state &s = state();
  if (!s.transport) s.transport = std::make_shared<shared_transport>();
  return s.transport;
}

struct file_close {
  void operator()(FILE *file) const { std::fclose(file); }
};

struct x509_info_stack_free {
  void operator()(STACK_OF(X509_INFO) * infos) const {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
  }
};

// The certificates of a PEM file; keys and other blocks in it are passed over.
S3Status read_authorities(const char *path, extra_authorities *authorities) {
  std::unique_ptr<FILE, file_close> file(std::fopen(path, "r"));
  if (!file) return S3StatusFailedToInitializeRequest;
  std::unique_ptr<STACK_OF(X509_INFO), x509_info_stack_free> infos(
      PEM_X509_INFO_read(file.get(), nullptr, nullptr, nullptr));
  if (!infos) return S3StatusTransportTlsFailure;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
    X509_INFO *info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 == nullptr) continue;
    authorities->certificates.emplace_back(info->x509);
    info->x509 = nullptr;
  }
  authorities->path = path;
  return authorities->certificates.empty() ? S3StatusTransportTlsFailure : S3StatusOK;
}

}  // namespace

transfer_settings current_settings() {
  global_setup();
  std::lock_guard<std::mutex> guard(state_mutex);
  return state().settings;
}

easy_handle_lease::easy_handle_lease() {
  global_setup();
  transport_ = current_transport();
  handle_ = transport_->take();
}

easy_handle_lease::~easy_handle_lease() {
  if (handle_ != nullptr) transport_->give_back(handle_);
}

}  // namespace vorlan_s3

extern "C" S3Status S3_initialize(const char *userAgentInfo, int flags,
                                  const char *defaultS3HostName) {
  using namespace vorlan_s3;
  try {
    global_setup();
    if (global_setup_result != CURLE_OK) return S3StatusFailedToInitializeRequest;
    std::lock_guard<std::mutex> guard(state_mutex);
    library_state &s = state();
    if (!s.transport) s.transport = std::make_shared<shared_transport>();
    // Sessions start and end at any time: one that does not ask for verification must not
    // turn it off for the others, nor may a later one move every request to its host.
    bool verify_peer = (flags & S3_INIT_VERIFY_PEER) != 0;
    s.settings.verify_peer = verify_peer || (s.initialize_count > 0 && s.settings.verify_peer);
    if (s.initialize_count == 0) {
      s.settings.user_agent = "vorlan-s3/1.0";
      if (userAgentInfo != nullptr && userAgentInfo[0] != '\0') {
        s.settings.user_agent += " (";
        s.settings.user_agent += userAgentInfo;
        s.settings.user_agent += ')';
      }
      s.settings.default_host = defaultS3HostName ? defaultS3HostName : "s3.amazonaws.com";
    }
    refresh_timeouts(s);
    ++s.initialize_count;
    return S3StatusOK;
  } catch (const std::bad_alloc &) {
    return S3StatusOutOfMemory;
  } catch (...) {
    return S3StatusInternalError;
  }
}

extern "C" void S3_deinitialize(void) {
  using namespace vorlan_s3;
  std::shared_ptr<shared_transport> released;
  {
    std::lock_guard<std::mutex> guard(state_mutex);
    library_state &s = state();
    if (s.initialize_count == 0) return;
    if (--s.initialize_count == 0) {
      released = std::move(s.transport);
      // A request made while no session holds the library has nobody to say otherwise.
      s.settings.verify_peer = true;
    }
  }
  // Requests still running hold their own reference; the caches go when the last one ends.
}

extern "C" void S3_set_transfer_timeouts(int connect_timeout_seconds, int low_speed_time_seconds) {
  using namespace vorlan_s3;
  std::lock_guard<std::mutex> guard(state_mutex);
  library_state &s = state();
  s.connect_timeout_override = connect_timeout_seconds > 0 ? connect_timeout_seconds : 0;
  s.low_speed_time_override = low_speed_time_seconds > 0 ? low_speed_time_seconds : 0;
  refresh_timeouts(s);
}

extern "C" S3Status S3_set_ca_file(const char *path) {
  using namespace vorlan_s3;
  try {
    std::shared_ptr<extra_authorities> authorities;
    if (path != nullptr && path[0] != '\0') {
      authorities = std::make_shared<extra_authorities>();
      // Returns straight after a failed open, so errno still says why.
      S3Status status = read_authorities(path, authorities.get());
      if (status != S3StatusOK) return status;
    }
    std::lock_guard<std::mutex> guard(state_mutex);
    state().settings.authorities = std::move(authorities);
    return S3StatusOK;
  } catch (const std::bad_alloc &) {
    return S3StatusOutOfMemory;
  }
}

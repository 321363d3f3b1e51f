// The embeddable host: loading a module, sessions and the synchronous request methods.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "host_internal.hpp"

namespace vorlan::host {

namespace internal {

const char *op_kind_name(OpKind kind) {
  switch (kind) {
    case OpKind::kSessionStart:
      return "session start";
    case OpKind::kStat:
      return "stat";
    case OpKind::kCommand:
      return "command";
    case OpKind::kSend:
      return "send";
    case OpKind::kRecv:
      return "recv";
  }
  return "unknown";
}

namespace {

struct LiveHosts {
  std::mutex mutex;
  std::vector<Host::Impl *> hosts;
  Host::Impl *loading = nullptr;
};

// Never destroyed: a module's threads may still log while the process exits.
LiveHosts &live_hosts() {
  static auto *hosts = new LiveHosts;
  return *hosts;
}

}  // namespace

void add_live_host(Host::Impl *host, bool loading) {
  auto &live = live_hosts();
  std::lock_guard<std::mutex> lock(live.mutex);
  live.hosts.push_back(host);
  if (loading) {
    live.loading = host;
  }
}

void end_loading(Host::Impl *host) {
  auto &live = live_hosts();
  std::lock_guard<std::mutex> lock(live.mutex);
  if (live.loading == host) {
    live.loading = nullptr;
  }
}

void remove_live_host(Host::Impl *host) {
  auto &live = live_hosts();
  std::lock_guard<std::mutex> lock(live.mutex);
  std::erase(live.hosts, host);
  if (live.loading == host) {
    live.loading = nullptr;
  }
}

std::optional<std::string> option_string_without_op() {
  auto &live = live_hosts();
  std::lock_guard<std::mutex> lock(live.mutex);
  if (live.loading != nullptr) {
    return live.loading->options.option_string;
  }
  if (!live.hosts.empty()) {
    return live.hosts.back()->options.option_string;
  }
  return std::nullopt;
}

void log_to_live_hosts(const std::string &line) {
  auto &live = live_hosts();
  std::lock_guard<std::mutex> lock(live.mutex);
  for (Host::Impl *host : live.hosts) {
    host->add_log(line);
  }
}

Reply make_reply(vorlan_result_t result, ObjectPtr error) {
  Reply reply;
  reply.result = result;
  if (result == VORLAN_SUCCESS) {
    return reply;
  }
  if (error == nullptr) {
    reply.code = 500;
    reply.message = "Request failed.";
    reply.text = "500 Request failed.\r\n";
    return reply;
  }
  int code = vorlan_gfs_error_get_ftp_response_code(error.get());
  reply.code = code != 0 ? code : 500;
  const char *word = vorlan_gfs_error_get_ftp_response_error_code(error.get());
  reply.error_type = word != nullptr ? word : "";
  reply.headers = vorlan_gfs_error_get_ftp_response_headers(error.get());
  if (char *text = vorlan_error_print_friendly(error.get())) {
    reply.message = text;
    free(text);
  }
  if (char *text = vorlan_gfs_error_to_reply(error.get())) {
    reply.text = text;
    free(text);
  }
  return reply;
}

Reply failure_reply(int code, const std::string &text) {
  Reply reply;
  reply.result = VORLAN_FAILURE;
  reply.code = code;
  reply.message = text;
  reply.text = std::to_string(code) + " " + text + "\r\n";
  return reply;
}

Reply timeout_reply() {
  Reply reply = failure_reply(500, "Request timed out.");
  reply.timed_out = true;
  return reply;
}

bool await_completion(vorlan_gfs_op_s *op, std::unique_lock<std::mutex> &lock,
                      const std::function<bool()> &done) {
  const auto limit = op->host->options.request_timeout;
  // A request that still moves data or reports is alive however long it takes; only a
  // stretch of `limit` without progress ends it.
  while (!op->cond.wait_until(lock, op->last_progress + limit, done)) {
    if (std::chrono::steady_clock::now() >= op->last_progress + limit) {
      op->host->violation(op->describe() + " timed out after " + std::to_string(limit.count()) +
                          " ms without progress");
      return false;
    }
  }
  return true;
}

}  // namespace internal

using internal::OpKind;

namespace {

std::string error_text(vorlan_result_t result) {
  internal::ObjectPtr error(vorlan_error_get(result));
  if (error == nullptr) {
    return "result " + std::to_string(result);
  }
  char *text = vorlan_error_print_friendly(error.get());
  std::string out = text != nullptr ? text : "";
  free(text);
  return out;
}

// "libvorlan_gridftp_server_google_cloud.so" -> "vorlan_gridftp_server_google_cloud_module".
std::optional<std::string> descriptor_symbol(const std::string &module_path) {
  std::string name = std::filesystem::path(module_path).filename().string();
  if (name.size() <= 3 || !name.ends_with(".so")) {
    return std::nullopt;
  }
  name.resize(name.size() - 3);
  if (name.starts_with("lib")) {
    name.erase(0, 3);
  }
  return name.empty() ? std::nullopt : std::optional<std::string>(name + "_module");
}

bool keep_module_mapped() {
  const char *keep = getenv("VORLAN_HOST_KEEP_MODULE");
  return keep != nullptr && *keep != '\0' && std::string(keep) != "0";
}

void unload(Host::Impl &impl) {
  if (impl.activated) {
    vorlan_module_deactivate(impl.module);
    impl.activated = false;
  }
  internal::remove_live_host(&impl);
  if (impl.dl == nullptr) {
    return;
  }
  if (keep_module_mapped()) {
    impl.dl = nullptr;
    return;
  }
  // The module's deactivation has waited for its own worker threads.
  dlclose(impl.dl);
  impl.dl = nullptr;
}

}  // namespace

void Host::Impl::violation(std::string text) {
  std::lock_guard<std::mutex> lock(mutex);
  violations.push_back(std::move(text));
}

void Host::Impl::add_log(const std::string &line) {
  std::lock_guard<std::mutex> lock(mutex);
  log.push_back(line);
}

Host::Host(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Host::~Host() {
  // Late completions of timed-out transfers must not run once the module is gone.
  std::vector<internal::Transfer *> stranded;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto &op : impl_->retired) {
      if (op->transfer != nullptr) {
        stranded.push_back(op->transfer.get());
      }
    }
  }
  for (internal::Transfer *transfer : stranded) {
    transfer->pool.shutdown(true);
  }
  unload(*impl_);
}

std::unique_ptr<Host> Host::load(const Options &options, std::string *error) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  auto fail = [&](const std::string &why) -> std::unique_ptr<Host> {
    unload(*impl);
    if (error != nullptr) {
      *error = why;
    }
    return nullptr;
  };
  std::optional<std::string> symbol = descriptor_symbol(options.module_path);
  if (!symbol) {
    return fail("module file name \"" + options.module_path + "\" does not end in .so");
  }
  // From here on the server library's calls reach the hosts; one backend serves them all.
  static auto *backend = new internal::HostBackend;
  vorlan::gfs::install_backend(*backend);
  impl->module = options.linked_module;
  if (impl->module == nullptr) {
    dlerror();
    impl->dl = dlopen(options.module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (impl->dl == nullptr) {
      const char *why = dlerror();
      return fail("cannot load module \"" + options.module_path + "\": " + (why ? why : "?"));
    }
    impl->module = static_cast<vorlan_module_descriptor_t *>(dlsym(impl->dl, symbol->c_str()));
  }
  if (impl->module == nullptr) {
    return fail("module \"" + options.module_path + "\" has no descriptor " + *symbol);
  }
  // Activation reads the option string and may log, so the host is live from here on.
  internal::add_live_host(impl.get(), true);
  vorlan_result_t result = vorlan_module_activate(impl->module);
  internal::end_loading(impl.get());
  if (result != VORLAN_SUCCESS) {
    return fail("activating " + *symbol + " failed: " + error_text(result));
  }
  impl->activated = true;
  impl->iface = static_cast<vorlan_gfs_storage_iface_t *>(
      vorlan_extension_registry_lookup(&vorlan_i_gfs_dsi_registry, options.dsi_name.c_str()));
  if (impl->iface == nullptr) {
    return fail(*symbol + " registered no storage interface named \"" + options.dsi_name + "\"");
  }
  return std::unique_ptr<Host>(new Host(std::move(impl)));
}

const vorlan_gfs_storage_iface_t *Host::iface() const { return impl_->iface; }

std::vector<std::string> Host::violations() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->violations;
}

std::vector<std::string> Host::server_log() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}

SessionStart Host::start_session(const std::string &user, SessionDocuments documents,
                                 std::unique_ptr<Session> *session) {
  SessionStart out;
  if (session != nullptr) {
    session->reset();
  }
  if (impl_->iface->init_func == nullptr) {
    out.reply = internal::failure_reply(502, "Command not implemented.");
    return out;
  }
  auto impl = std::make_unique<Session::Impl>();
  impl->host = impl_.get();
  impl->documents = std::make_shared<const SessionDocuments>(std::move(documents));
  vorlan_gfs_op_s *op = impl->new_op(OpKind::kSessionStart);
  op->session_info.username = op->keep(user);
  impl_->iface->init_func(op, &op->session_info);

  std::unique_lock<std::mutex> lock(op->mutex);
  if (!internal::await_completion(op, lock, [op] { return op->finished; })) {
    out.reply = internal::timeout_reply();
    return out;
  }
  out.reply = internal::make_reply(op->result, std::move(op->error));
  if (!out.reply.ok()) {
    return out;
  }
  out.username = impl->username = op->username;
  out.home_dir = impl->home_dir = op->home_dir;
  impl->handle = op->session_handle;
  lock.unlock();
  impl->release(op);
  if (session != nullptr) {
    *session = std::make_unique<Session>(std::move(impl));
  }
  return out;
}

StatResult Host::stat(Session &session, const std::string &path, bool file_only,
                      StatBatchHandler on_batch) {
  StatResult out;
  if (impl_->iface->stat_func == nullptr) {
    out.reply = internal::failure_reply(502, "Command not implemented.");
    return out;
  }
  vorlan_gfs_op_s *op = session.impl().new_op(OpKind::kStat);
  op->stat_info.file_only = file_only ? VORLAN_TRUE : VORLAN_FALSE;
  op->stat_info.pathname = op->keep(path);
  op->on_batch = std::move(on_batch);
  impl_->iface->stat_func(op, &op->stat_info, session.handle());

  std::unique_lock<std::mutex> lock(op->mutex);
  if (!internal::await_completion(op, lock, [op] { return op->finished; })) {
    out.reply = internal::timeout_reply();
    return out;
  }
  out.reply = internal::make_reply(op->result, std::move(op->error));
  out.stats = std::move(op->stats);
  out.partial_calls = op->partial_calls;
  lock.unlock();
  session.impl().release(op);
  return out;
}

CommandResult Host::command(Session &session, int command, const std::string &pathname,
                            const std::string &from_pathname, const std::string &cksm_alg,
                            int64_t cksm_offset, int64_t cksm_length,
                            const CommandOptions &options) {
  CommandResult out;
  if (impl_->iface->command_func == nullptr) {
    out.reply = internal::failure_reply(502, "Command not implemented.");
    return out;
  }
  vorlan_gfs_op_s *op = session.impl().new_op(OpKind::kCommand);
  vorlan_gfs_command_info_t &info = op->command_info;
  info.command = command;
  info.pathname = op->keep(pathname);
  info.from_pathname = from_pathname.empty() ? nullptr : op->keep(from_pathname);
  info.cksm_alg = cksm_alg.empty() ? nullptr : op->keep(cksm_alg);
  info.cksm_offset = cksm_offset;
  info.cksm_length = cksm_length;
  op->command_options = options;
  impl_->iface->command_func(op, &info, session.handle());

  std::unique_lock<std::mutex> lock(op->mutex);
  if (!internal::await_completion(op, lock, [op] { return op->finished; })) {
    out.reply = internal::timeout_reply();
    return out;
  }
  out.reply = internal::make_reply(op->result, std::move(op->error));
  out.response = op->response;
  out.intermediate = std::move(op->intermediate);
  lock.unlock();
  session.impl().release(op);
  return out;
}

Session::Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Session::~Session() {
  if (impl_->host->iface->destroy_func != nullptr) {
    impl_->host->iface->destroy_func(impl_->handle);
  }
}

void *Session::handle() const { return impl_->handle; }

size_t Session::operations_held() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->ops.size() + impl_->recent.size();
}

vorlan_gfs_op_s *Session::Impl::new_op(OpKind kind) {
  auto op = std::make_unique<vorlan_gfs_op_s>();
  op->kind = kind;
  op->host = host;
  op->documents = documents;
  std::lock_guard<std::mutex> lock(mutex);
  ops.push_back(std::move(op));
  return ops.back().get();
}

void Session::Impl::release(vorlan_gfs_op_s *op) {
  constexpr size_t kRecentKept = 8;
  std::lock_guard<std::mutex> lock(mutex);
  auto it =
      std::find_if(ops.begin(), ops.end(), [op](const auto &held) { return held.get() == op; });
  if (it == ops.end()) {
    return;
  }
  recent.push_back(std::move(*it));
  ops.erase(it);
  if (recent.size() > kRecentKept) {
    recent.pop_front();
  }
}

Session::Impl::~Impl() {
  std::vector<std::unique_ptr<vorlan_gfs_op_s>> unfinished;
  for (auto &op : ops) {
    std::lock_guard<std::mutex> lock(op->mutex);
    if (!op->finished || (op->transfer != nullptr && op->transfer->pending > 0)) {
      unfinished.push_back(std::move(op));
    }
  }
  if (!unfinished.empty()) {
    std::lock_guard<std::mutex> lock(host->mutex);
    for (auto &op : unfinished) {
      host->retired.push_back(std::move(op));
    }
  }
}

}  // namespace vorlan::host

char *vorlan_gfs_op_s::keep(const std::optional<std::string> &text) {
  if (!text) {
    return nullptr;
  }
  strings.push_back(*text);
  return strings.back().data();
}

std::string vorlan_gfs_op_s::describe() const {
  char address[32];
  snprintf(address, sizeof address, "%p", static_cast<const void *>(this));
  return std::string(op_kind_name(kind)) + " operation " + address;
}

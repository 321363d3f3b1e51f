// The host's side of what the module calls back: completions, per-session documents, the
// option string and the server log.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "host_internal.hpp"

namespace vorlan::host::internal {

namespace {

// Locks op and checks that `call` may report on it now; a breach is recorded and the
// result's error object released, since nobody else will take it.
bool accept(vorlan_gfs_op_s *op, OpKind kind, const char *call, vorlan_result_t result,
            std::unique_lock<std::mutex> &lock) {
  if (op == nullptr) {
    vorlan_error_release(result);
    return false;
  }
  lock = std::unique_lock<std::mutex>(op->mutex);
  std::string breach;
  if (op->kind != kind) {
    breach = std::string(call) + " on a " + op->describe();
  } else if (op->finished) {
    breach = std::string(call) + " on an already finished " + op->describe();
  }
  if (breach.empty()) {
    return true;
  }
  vorlan_error_release(result);
  op->host->violation(breach);
  return false;
}

void finish(vorlan_gfs_op_s *op, vorlan_result_t result) {
  op->result = result;
  op->error.reset(vorlan_error_get(result));
  op->finished = true;
  op->cond.notify_all();
}

// Keeps the records, or hands them to the request's batch handler; `final` with the result.
void copy_stats(vorlan_gfs_op_s *op, const vorlan_gfs_stat_t *stats, int count, const char *call,
                bool final, vorlan_result_t result) {
  if (count > 0 && stats == nullptr) {
    op->host->violation(std::string(call) + " with no records but a count of " +
                        std::to_string(count));
    count = 0;
  }
  std::vector<vorlan::host::Stat> batch;
  std::vector<vorlan::host::Stat> &into = op->on_batch ? batch : op->stats;
  for (int i = 0; i < count; ++i) {
    const vorlan_gfs_stat_t &in = stats[i];
    Stat out;
    out.mode = in.mode;
    out.nlink = in.nlink;
    out.name = in.name != nullptr ? in.name : "";
    if (in.symlink_target != nullptr) {
      out.symlink_target = in.symlink_target;
    }
    out.uid = in.uid;
    out.gid = in.gid;
    out.size = in.size;
    out.atime = in.atime;
    out.ctime = in.ctime;
    out.mtime = in.mtime;
    out.dev = in.dev;
    out.ino = in.ino;
    into.push_back(std::move(out));
  }
  if (op->on_batch) op->on_batch(batch, final, result);
}

}  // namespace

void HostBackend::get_config_string(vorlan_gfs_operation_t op, char **string) {
  if (string == nullptr) {
    return;
  }
  *string = nullptr;
  try {
    std::optional<std::string> value =
        op != nullptr ? op->host->options.option_string : option_string_without_op();
    if (value) {
      *string = strdup(value->c_str());
    }
  } catch (...) {
  }
}

void HostBackend::get_config_data(vorlan_gfs_operation_t op, const char *key, char **string) {
  if (string == nullptr) {
    return;
  }
  *string = nullptr;
  if (op == nullptr || key == nullptr) {
    return;
  }
  std::shared_ptr<const vorlan::host::SessionDocuments> documents;
  {
    std::lock_guard<std::mutex> lock(op->mutex);
    if (op->finished) {
      op->host->violation(std::string("get_config_data(\"") + key + "\") on a finished " +
                          op->describe());
    }
    documents = op->documents;
  }
  try {
    std::string name = key;
    std::optional<std::string> value;
    // The provider runs unlocked: it may be slow (a token service) and is asked every time.
    if (documents->provider) {
      value = documents->provider(name);
    }
    if (!value) {
      if (name == "config") {
        value = documents->config;
      } else if (name == "collection-policies") {
        value = documents->collection_policies;
      } else if (name == "creds") {
        value = documents->creds;
      } else if (name == "renew-creds") {
        value = documents->renew_creds;
      }
    }
    if (value) {
      *string = strdup(value->c_str());
    }
  } catch (...) {
    op->host->violation(std::string("get_config_data(\"") + key + "\"): the provider failed");
  }
}

void HostBackend::finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result,
                                         void *session, const char *username,
                                         const char *home_dir) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kSessionStart, "finished_session_start", result, lock)) {
    return;
  }
  op->session_handle = session;
  op->username = username != nullptr ? username : op->session_info.username;
  op->home_dir = home_dir != nullptr ? home_dir : "";
  finish(op, result);
}

void HostBackend::finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                   const char *command_response) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kCommand, "finished_command", result, lock)) {
    return;
  }
  if (command_response != nullptr) {
    op->response = command_response;
  }
  finish(op, result);
}

void HostBackend::intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                       const char *command_response) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kCommand, "intermediate_command", result, lock)) {
    return;
  }
  // An intermediate reply only carries text; an error in it has no one to go to.
  vorlan_error_release(result);
  op->progressed();
  if (command_response != nullptr) {
    op->intermediate.emplace_back(command_response);
    if (op->command_options.on_intermediate) {
      op->command_options.on_intermediate(command_response);
    }
  }
}

void HostBackend::finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                                vorlan_gfs_stat_t *stat_array, int stat_count) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kStat, "finished_stat", result, lock)) {
    return;
  }
  copy_stats(op, stat_array, stat_count, "finished_stat", true, result);
  finish(op, result);
}

void HostBackend::finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                                        vorlan_gfs_stat_t *stat_array, int stat_count) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kStat, "finished_stat_partial", result, lock)) {
    return;
  }
  vorlan_error_release(result);
  op->progressed();
  ++op->partial_calls;
  copy_stats(op, stat_array, stat_count, "finished_stat_partial", false, VORLAN_SUCCESS);
}

void HostBackend::log(int /*level*/, const std::string &line) { log_to_live_hosts(line); }

}  // namespace vorlan::host::internal

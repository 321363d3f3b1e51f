// What the module calls back: completions, per-session documents, the option string and the
// server log.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "host_internal.hpp"

namespace {

using vorlan::host::internal::OpKind;

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
    vorlan::host::Stat out;
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

const char *level_name(int level) {
  switch (level) {
    case VORLAN_GFS_LOG_ERR:
      return "ERROR";
    case VORLAN_GFS_LOG_WARN:
      return "WARN";
    case VORLAN_GFS_LOG_INFO:
      return "INFO";
    case VORLAN_GFS_LOG_DUMP:
      return "DUMP";
  }
  return "LOG";
}

void append_to_log_file(int level, const std::string &line) {
  const char *path = getenv("VORLAN_GRIDFTP_SERVER_LOG");
  if (path == nullptr || *path == '\0') {
    return;
  }
  static std::mutex file_mutex;
  std::lock_guard<std::mutex> lock(file_mutex);
  FILE *file = fopen(path, "a");
  if (file == nullptr) {
    return;
  }
  fprintf(file, "%s: %s\n", level_name(level), line.c_str());
  fclose(file);
}

}  // namespace

extern "C" {

void vorlan_gridftp_server_get_config_string(vorlan_gfs_operation_t op, char **string) {
  if (string == nullptr) {
    return;
  }
  *string = nullptr;
  try {
    std::optional<std::string> value = op != nullptr
                                           ? op->host->options.option_string
                                           : vorlan::host::internal::option_string_without_op();
    if (value) {
      *string = vorlan::host::internal::malloc_copy(*value);
    }
  } catch (...) {
  }
}

void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t op, const char *key,
                                           char **string) {
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
      *string = vorlan::host::internal::malloc_copy(*value);
    }
  } catch (...) {
    op->host->violation(std::string("get_config_data(\"") + key + "\"): the provider failed");
  }
}

void vorlan_gridftp_server_finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result,
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

void vorlan_gridftp_server_finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
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

void vorlan_gridftp_server_intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                const char *command_response) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kCommand, "intermediate_command", result, lock)) {
    return;
  }
  // An intermediate reply only carries text; an error in it has no one to go to.
  vorlan_error_release(result);
  if (command_response != nullptr) {
    op->intermediate.emplace_back(command_response);
  }
}

void vorlan_gridftp_server_finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                                         vorlan_gfs_stat_t *stat_array, int stat_count) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kStat, "finished_stat", result, lock)) {
    return;
  }
  copy_stats(op, stat_array, stat_count, "finished_stat", true, result);
  finish(op, result);
}

void vorlan_gridftp_server_finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                 vorlan_gfs_stat_t *stat_array, int stat_count) {
  std::unique_lock<std::mutex> lock;
  if (!accept(op, OpKind::kStat, "finished_stat_partial", result, lock)) {
    return;
  }
  vorlan_error_release(result);
  ++op->partial_calls;
  copy_stats(op, stat_array, stat_count, "finished_stat_partial", false, VORLAN_SUCCESS);
}

void vorlan_gfs_log_message(int level, const char *format, ...) {
  if (format == nullptr) {
    return;
  }
  try {
    va_list args;
    va_start(args, format);
    std::string line = vorlan::host::internal::vformat(format, args);
    va_end(args);
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    vorlan::host::internal::log_to_live_hosts(line);
    append_to_log_file(level, line);
  } catch (...) {
  }
}

}  // extern "C"

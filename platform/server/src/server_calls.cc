// The calls a storage module makes into the server: each passes through to the installed
// backend (see gridftp_server_backend.hpp). The server log is written here.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <vorlan/gridftp_server_backend.hpp>

#include "server_internal.hpp"

namespace vorlan::gfs {

namespace {

Backend &no_backend() {
  static auto *backend = new Backend;
  return *backend;
}

std::atomic<Backend *> g_backend{nullptr};

Backend &backend() {
  Backend *installed = g_backend.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : no_backend();
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

void install_backend(Backend &installed) { g_backend.store(&installed, std::memory_order_release); }

void Backend::get_config_string(vorlan_gfs_operation_t /*op*/, char **string) {
  if (string != nullptr) {
    *string = nullptr;
  }
}

void Backend::get_config_data(vorlan_gfs_operation_t /*op*/, const char * /*key*/, char **string) {
  if (string != nullptr) {
    *string = nullptr;
  }
}

void Backend::finished_session_start(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                                     void * /*session*/, const char * /*username*/,
                                     const char * /*home_dir*/) {
  vorlan_error_release(result);
}

void Backend::finished_command(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                               const char * /*command_response*/) {
  vorlan_error_release(result);
}

void Backend::intermediate_command(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                                   const char * /*command_response*/) {
  vorlan_error_release(result);
}

void Backend::finished_stat(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                            vorlan_gfs_stat_t * /*stat_array*/, int /*stat_count*/) {
  vorlan_error_release(result);
}

void Backend::finished_stat_partial(vorlan_gfs_operation_t /*op*/, vorlan_result_t result,
                                    vorlan_gfs_stat_t * /*stat_array*/, int /*stat_count*/) {
  vorlan_error_release(result);
}

void Backend::begin_transfer(vorlan_gfs_operation_t /*op*/, int /*event_mask*/,
                             void * /*event_arg*/) {}

void Backend::finished_transfer(vorlan_gfs_operation_t /*op*/, vorlan_result_t result) {
  vorlan_error_release(result);
}

void Backend::get_block_size(vorlan_gfs_operation_t /*op*/, vorlan_size_t *block_size) {
  if (block_size != nullptr) {
    *block_size = 0;
  }
}

void Backend::get_optimal_concurrency(vorlan_gfs_operation_t /*op*/, int *count) {
  if (count != nullptr) {
    *count = 0;
  }
}

void Backend::get_update_interval(vorlan_gfs_operation_t /*op*/, int *interval) {
  if (interval != nullptr) {
    *interval = 0;
  }
}

void Backend::get_read_range(vorlan_gfs_operation_t /*op*/, vorlan_off_t *offset,
                             vorlan_off_t *length) {
  if (offset != nullptr) {
    *offset = 0;
  }
  if (length != nullptr) {
    *length = 0;
  }
}

void Backend::get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                              vorlan_off_t *length) {
  get_read_range(op, offset, length);
}

void Backend::update_range_recvd(vorlan_gfs_operation_t /*op*/, vorlan_off_t /*offset*/,
                                 vorlan_off_t /*length*/) {}

void Backend::update_bytes_recvd(vorlan_gfs_operation_t /*op*/, vorlan_off_t /*length*/) {}

vorlan_result_t Backend::get_recv_modification_time(vorlan_gfs_operation_t /*op*/,
                                                    time_t * /*modtime*/) {
  return VORLAN_FAILURE;
}

vorlan_result_t Backend::register_read(vorlan_gfs_operation_t /*op*/, vorlan_byte_t * /*buffer*/,
                                       vorlan_size_t /*length*/,
                                       vorlan_gridftp_server_read_cb_t /*callback*/,
                                       void * /*user_arg*/) {
  return VORLAN_FAILURE;
}

vorlan_result_t Backend::register_write(vorlan_gfs_operation_t /*op*/, vorlan_byte_t * /*buffer*/,
                                        vorlan_size_t /*length*/, vorlan_off_t /*offset*/,
                                        int /*stripe_ndx*/,
                                        vorlan_gridftp_server_write_cb_t /*callback*/,
                                        void * /*user_arg*/) {
  return VORLAN_FAILURE;
}

void Backend::log(int /*level*/, const std::string & /*line*/) {}

}  // namespace vorlan::gfs

using vorlan::gfs::append_to_log_file;
using vorlan::gfs::backend;

extern "C" {

void vorlan_gridftp_server_get_config_string(vorlan_gfs_operation_t op, char **string) {
  backend().get_config_string(op, string);
}

void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t op, const char *key,
                                           char **string) {
  backend().get_config_data(op, key, string);
}

void vorlan_gridftp_server_finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                  void *session, const char *username,
                                                  const char *home_dir) {
  backend().finished_session_start(op, result, session, username, home_dir);
}

void vorlan_gridftp_server_finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                            const char *command_response) {
  backend().finished_command(op, result, command_response);
}

void vorlan_gridftp_server_intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                const char *command_response) {
  backend().intermediate_command(op, result, command_response);
}

void vorlan_gridftp_server_finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                                         vorlan_gfs_stat_t *stat_array, int stat_count) {
  backend().finished_stat(op, result, stat_array, stat_count);
}

void vorlan_gridftp_server_finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                 vorlan_gfs_stat_t *stat_array, int stat_count) {
  backend().finished_stat_partial(op, result, stat_array, stat_count);
}

void vorlan_gridftp_server_begin_transfer(vorlan_gfs_operation_t op, int event_mask,
                                          void *event_arg) {
  backend().begin_transfer(op, event_mask, event_arg);
}

void vorlan_gridftp_server_finished_transfer(vorlan_gfs_operation_t op, vorlan_result_t result) {
  backend().finished_transfer(op, result);
}

void vorlan_gridftp_server_get_block_size(vorlan_gfs_operation_t op, vorlan_size_t *block_size) {
  backend().get_block_size(op, block_size);
}

void vorlan_gridftp_server_get_optimal_concurrency(vorlan_gfs_operation_t op, int *count) {
  backend().get_optimal_concurrency(op, count);
}

void vorlan_gridftp_server_get_update_interval(vorlan_gfs_operation_t op, int *interval) {
  backend().get_update_interval(op, interval);
}

void vorlan_gridftp_server_get_read_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                          vorlan_off_t *length) {
  backend().get_read_range(op, offset, length);
}

void vorlan_gridftp_server_get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                           vorlan_off_t *length) {
  backend().get_write_range(op, offset, length);
}

void vorlan_gridftp_server_update_range_recvd(vorlan_gfs_operation_t op, vorlan_off_t offset,
                                              vorlan_off_t length) {
  backend().update_range_recvd(op, offset, length);
}

void vorlan_gridftp_server_update_bytes_recvd(vorlan_gfs_operation_t op, vorlan_off_t length) {
  backend().update_bytes_recvd(op, length);
}

vorlan_result_t vorlan_gridftp_server_get_recv_modification_time(vorlan_gfs_operation_t op,
                                                                 time_t *modtime) {
  return backend().get_recv_modification_time(op, modtime);
}

vorlan_result_t vorlan_gridftp_server_register_read(vorlan_gfs_operation_t op,
                                                    vorlan_byte_t *buffer, vorlan_size_t length,
                                                    vorlan_gridftp_server_read_cb_t callback,
                                                    void *user_arg) {
  return backend().register_read(op, buffer, length, callback, user_arg);
}

vorlan_result_t vorlan_gridftp_server_register_write(vorlan_gfs_operation_t op,
                                                     vorlan_byte_t *buffer, vorlan_size_t length,
                                                     vorlan_off_t offset, int stripe_ndx,
                                                     vorlan_gridftp_server_write_cb_t callback,
                                                     void *user_arg) {
  return backend().register_write(op, buffer, length, offset, stripe_ndx, callback, user_arg);
}

void vorlan_gfs_log_message(int level, const char *format, ...) {
  if (format == nullptr) {
    return;
  }
  try {
    va_list args;
    va_start(args, format);
    std::string line = vorlan::gfs::internal::vformat(format, args);
    va_end(args);
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    append_to_log_file(level, line);
    backend().log(level, line);
  } catch (...) {
  }
}

}  // extern "C"

// A small storage module that drives the host the way a real one does, with behaviours chosen
// by user name and path so the host tests can provoke each case:
//   session start: user "nohandle" starts without a handle, "refused" fails with a reply
//                  error, anyone else gets a handle (reported from a worker thread)
//   stat "/batches/N/M": N partial batches of M records, then a final batch of one
//   command "/twice" finishes twice; "/failure" fails with the bare VORLAN_FAILURE; "/wrongkind"
//   also calls finished_stat; "/never" never
//                  finishes; "/config/KEY" answers with the session document KEY;
//                  CKSM sends an intermediate reply before the final one
//   send: writes every range of a generated pattern (byte i = (i * 131 + 7) & 0xff, file size
//         from "/send/SIZE"), each window of `concurrency` blocks registered in reverse order;
//         "/early" registers one write and finishes without waiting for it
//   recv: reads everything, registers one more read after end of data, and logs
//         "recv bytes=B eof=E extra=X hash=H mtime=T" (E: end-of-data completions that carried
//         data; X: "empty-eof" when the extra read came back empty at end of data), then
//         "channel range=O+L interval=S inversions=N" (the write range, the update interval,
//         and how many reads with data arrived after one from further on)
// The option string is the name it registers under.
#include <vorlan/vorlan_gridftp_server.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::string g_name;
vorlan_module_descriptor_t *descriptor();

struct Handle {
  std::string user;
};

// Runs `work` on a detached thread, as a real module's worker does.
void run_detached(std::function<void()> work) {
  auto *task = new std::function<void()>(std::move(work));
  vorlan_thread_t thread;
  int rc = vorlan_thread_create(
      &thread, nullptr,
      [](void *arg) -> void * {
        auto *fn = static_cast<std::function<void()> *>(arg);
        (*fn)();
        delete fn;
        return nullptr;
      },
      task);
  if (rc != 0) {
    (*task)();
    delete task;
  }
}

vorlan_result_t module_error(const char *text) {
  return vorlan_error_put(vorlan_error_construct_error(nullptr, nullptr, VORLAN_ERROR_TYPE_MODULE,
                                                       __FILE__, __func__, __LINE__, "%s", text));
}

void start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *info) {
  std::string user = info->username;
  if (user == "nohandle") {
    vorlan_gridftp_server_finished_session_start(op, VORLAN_SUCCESS, nullptr, nullptr, "/");
    return;
  }
  if (user == "refused") {
    vorlan_object_t *cause =
        vorlan_error_construct_error(nullptr, nullptr, VORLAN_ERROR_TYPE_MODULE, __FILE__, __func__,
                                     __LINE__, "%s", "no such user");
    vorlan_result_t result = vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
        nullptr, cause, 530, "LOGIN_DENIED", "GridFTP-User: %s", user.c_str()));
    vorlan_gridftp_server_finished_session_start(op, result, nullptr, nullptr, nullptr);
    return;
  }
  run_detached([op, user] {
    auto *handle = new Handle{user};
    std::string home = "/home/" + user;
    vorlan_gridftp_server_finished_session_start(op, VORLAN_SUCCESS, handle, user.c_str(),
                                                 home.c_str());
  });
}

void destroy(void *session) {
  auto *handle = static_cast<Handle *>(session);
  vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO, "destroy %s\n",
                         handle != nullptr ? handle->user.c_str() : "(no handle)");
  delete handle;
}

vorlan_gfs_stat_t stat_record(const std::string &name, int64_t size) {
  vorlan_gfs_stat_t st{};
  st.mode = 0x81C0;
  st.nlink = 1;
  st.name = strdup(name.c_str());
  st.size = size;
  return st;
}

void free_records(std::vector<vorlan_gfs_stat_t> &records) {
  for (auto &st : records) {
    free(st.name);
  }
  records.clear();
}

void stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *info, void * /*session*/) {
  std::string path = info->pathname;
  run_detached([op, path] {
    int batches = 0, per_batch = 0;
    if (sscanf(path.c_str(), "/batches/%d/%d", &batches, &per_batch) != 2) {
      vorlan_result_t result = vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
          nullptr, nullptr, 550, "PATH_NOT_FOUND", "GridFTP-Path: \"%s\"", path.c_str()));
      vorlan_gridftp_server_finished_stat(op, result, nullptr, 0);
      return;
    }
    int n = 0;
    std::vector<vorlan_gfs_stat_t> records;
    for (int b = 0; b < batches; ++b) {
      for (int i = 0; i < per_batch; ++i, ++n) {
        records.push_back(stat_record("f" + std::to_string(n), n));
      }
      vorlan_gridftp_server_finished_stat_partial(op, VORLAN_SUCCESS, records.data(),
                                                  static_cast<int>(records.size()));
      // The host copies during the call, so the names may go at once.
      free_records(records);
    }
    records.push_back(stat_record("f" + std::to_string(n), n));
    vorlan_gridftp_server_finished_stat(op, VORLAN_SUCCESS, records.data(), 1);
    free_records(records);
  });
}

void command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *info, void * /*session*/) {
  std::string path = info->pathname;
  if (path == "/never") {
    return;
  }
  if (path == "/twice") {
    vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, "first");
    vorlan_gridftp_server_finished_command(op, module_error("second finish"), "second");
    return;
  }
  if (path == "/failure") {
    vorlan_gridftp_server_finished_command(op, VORLAN_FAILURE, nullptr);
    return;
  }
  if (path == "/wrongkind") {
    vorlan_gridftp_server_finished_stat(op, VORLAN_SUCCESS, nullptr, 0);
    vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, nullptr);
    return;
  }
  if (path.starts_with("/config/")) {
    std::string key = path.substr(strlen("/config/"));
    run_detached([op, key] {
      char *value = nullptr;
      vorlan_gridftp_server_get_config_data(op, key.c_str(), &value);
      std::string answer = value != nullptr ? value : "(none)";
      free(value);
      vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, answer.c_str());
    });
    return;
  }
  int code = info->command;
  run_detached([op, code, path] {
    if (code == VORLAN_GFS_CMD_CKSM) {
      vorlan_gridftp_server_intermediate_command(op, VORLAN_SUCCESS, "50%");
    }
    std::string answer = std::to_string(code) + " " + path;
    vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, answer.c_str());
  });
}

vorlan_byte_t pattern_byte(int64_t offset) {
  return static_cast<vorlan_byte_t>((offset * 131 + 7) & 0xff);
}

// State of one send or recv, shared with the host's completion callbacks.
struct Transfer {
  vorlan_gfs_operation_t op;
  std::string path;
  std::mutex mutex;
  std::condition_variable cond;
  int outstanding = 0;
  vorlan_result_t result = VORLAN_SUCCESS;
  // recv
  std::map<int64_t, std::string> pieces;
  int eof_seen = 0;  // end-of-data completions that carried data
  bool eof = false;
  bool extra_phase = false;  // the one read registered after end of data
  std::string extra = "none";
  size_t block_size = 0;
  int64_t furthest = -1;
  int inversions = 0;

  void fail(vorlan_result_t r) {
    if (result == VORLAN_SUCCESS) {
      result = r;
    } else {
      vorlan_error_release(r);
    }
  }
  void wait_drained(std::unique_lock<std::mutex> &lock) {
    cond.wait(lock, [this] { return outstanding == 0; });
  }
};

void write_done(vorlan_gfs_operation_t /*op*/, vorlan_result_t result, vorlan_byte_t *buffer,
                vorlan_size_t /*nbytes*/, void *arg) {
  auto *t = static_cast<Transfer *>(arg);
  std::lock_guard<std::mutex> lock(t->mutex);
  delete[] buffer;
  if (result != VORLAN_SUCCESS) {
    t->fail(result);
  }
  --t->outstanding;
  t->cond.notify_all();
}

void send_range(Transfer &t, std::unique_lock<std::mutex> &lock, int64_t offset, int64_t end,
                size_t block, int concurrency) {
  while (offset < end && t.result == VORLAN_SUCCESS) {
    std::vector<std::pair<int64_t, int64_t>> window;
    for (int i = 0; i < concurrency && offset < end; ++i) {
      int64_t n = std::min<int64_t>(static_cast<int64_t>(block), end - offset);
      window.emplace_back(offset, n);
      offset += n;
    }
    for (auto it = window.rbegin(); it != window.rend(); ++it) {
      auto *buffer = new vorlan_byte_t[it->second];
      for (int64_t i = 0; i < it->second; ++i) {
        buffer[i] = pattern_byte(it->first + i);
      }
      vorlan_result_t r = vorlan_gridftp_server_register_write(
          t.op, buffer, static_cast<vorlan_size_t>(it->second), it->first, -1, write_done, &t);
      if (r != VORLAN_SUCCESS) {
        delete[] buffer;
        t.fail(r);
        break;
      }
      ++t.outstanding;
    }
    t.wait_drained(lock);
  }
}

void early_write_done(vorlan_gfs_operation_t /*op*/, vorlan_result_t result, vorlan_byte_t *buffer,
                      vorlan_size_t /*nbytes*/, void * /*arg*/) {
  vorlan_error_release(result);
  delete[] buffer;
}

void send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *info, void * /*session*/) {
  if (std::string(info->pathname) == "/early") {
    run_detached([op] {
      auto *buffer = new vorlan_byte_t[5];
      memcpy(buffer, "early", 5);
      vorlan_result_t r =
          vorlan_gridftp_server_register_write(op, buffer, 5, 0, -1, early_write_done, nullptr);
      if (r != VORLAN_SUCCESS) {
        delete[] buffer;
      }
      vorlan_gridftp_server_finished_transfer(op, r);
    });
    return;
  }
  auto *t = new Transfer{};
  t->op = op;
  t->path = info->pathname;
  run_detached([t] {
    int64_t size = 0;
    sscanf(t->path.c_str(), "/send/%ld", &size);
    std::unique_lock<std::mutex> lock(t->mutex);
    vorlan_gridftp_server_begin_transfer(t->op, 0, nullptr);
    vorlan_size_t block = 0;
    int concurrency = 0;
    vorlan_gridftp_server_get_block_size(t->op, &block);
    vorlan_gridftp_server_get_optimal_concurrency(t->op, &concurrency);
    for (;;) {
      vorlan_off_t offset = 0, length = 0;
      vorlan_gridftp_server_get_read_range(t->op, &offset, &length);
      if (length == 0 || t->result != VORLAN_SUCCESS) {
        break;
      }
      int64_t end = length < 0 ? size : std::min<int64_t>(size, offset + length);
      send_range(*t, lock, offset, end, block, concurrency);
    }
    t->wait_drained(lock);
    vorlan_result_t result = t->result;
    lock.unlock();
    vorlan_gfs_operation_t op = t->op;
    delete t;
    vorlan_gridftp_server_finished_transfer(op, result);
  });
}

void register_read_locked(Transfer &t);

void read_done(vorlan_gfs_operation_t op, vorlan_result_t result, vorlan_byte_t *buffer,
               vorlan_size_t nbytes, vorlan_off_t offset, vorlan_bool_t eof, void *arg) {
  auto *t = static_cast<Transfer *>(arg);
  std::lock_guard<std::mutex> lock(t->mutex);
  vorlan_gridftp_server_update_bytes_recvd(op, static_cast<vorlan_off_t>(nbytes));
  if (result != VORLAN_SUCCESS) {
    t->fail(result);
    t->eof = true;
  } else if (nbytes > 0) {
    t->pieces[offset].assign(reinterpret_cast<char *>(buffer), nbytes);
    t->inversions += offset < t->furthest ? 1 : 0;
    t->furthest = std::max<int64_t>(t->furthest, offset);
  }
  delete[] buffer;
  if (t->extra_phase) {
    t->extra = nbytes == 0 && eof && result == VORLAN_SUCCESS ? "empty-eof" : "bad";
  } else if (eof) {
    // End of data must come last: everything before it has already arrived.
    int64_t arrived = 0;
    for (auto &[piece_offset, piece] : t->pieces) {
      arrived += piece_offset < offset ? static_cast<int64_t>(piece.size()) : 0;
    }
    if (result == VORLAN_SUCCESS && arrived != offset) {
      t->fail(module_error("end of data arrived before earlier data"));
    }
    t->eof_seen += nbytes > 0 ? 1 : 0;
    t->eof = true;
  }
  --t->outstanding;
  // Keep the channel full from inside the completion, as a streaming module does.
  if (!t->eof) {
    register_read_locked(*t);
  }
  t->cond.notify_all();
}

void register_read_locked(Transfer &t) {
  auto *buffer = new vorlan_byte_t[t.block_size];
  vorlan_result_t r =
      vorlan_gridftp_server_register_read(t.op, buffer, t.block_size, read_done, &t);
  if (r != VORLAN_SUCCESS) {
    delete[] buffer;
    t.fail(r);
    t.eof = true;
    return;
  }
  ++t.outstanding;
}

uint64_t fnv1a(const std::string &data) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : data) {
    hash = (hash ^ c) * 1099511628211ULL;
  }
  return hash;
}

vorlan_result_t recv(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *info,
                     void * /*session*/) {
  auto *t = new Transfer{};
  t->op = op;
  t->path = info->pathname;
  run_detached([t] {
    std::unique_lock<std::mutex> lock(t->mutex);
    vorlan_gridftp_server_begin_transfer(t->op, 0, nullptr);
    int concurrency = 0;
    vorlan_gridftp_server_get_block_size(t->op, &t->block_size);
    vorlan_gridftp_server_get_optimal_concurrency(t->op, &concurrency);
    for (int i = 0; i < concurrency && !t->eof; ++i) {
      register_read_locked(*t);
    }
    t->cond.wait(lock, [t] { return t->eof && t->outstanding == 0; });
    if (t->result == VORLAN_SUCCESS) {
      // A read after the end of data must come back empty, still at end of data.
      t->extra_phase = true;
      register_read_locked(*t);
      t->wait_drained(lock);
    }
    std::string data;
    for (auto &[offset, piece] : t->pieces) {
      if (offset != static_cast<int64_t>(data.size())) {
        t->fail(module_error("gap in received data"));
        break;
      }
      data += piece;
    }
    time_t mtime = 0;
    std::string mtime_text =
        vorlan_gridftp_server_get_recv_modification_time(t->op, &mtime) == VORLAN_SUCCESS
            ? std::to_string(mtime)
            : "none";
    vorlan_gridftp_server_update_range_recvd(t->op, 0, static_cast<vorlan_off_t>(data.size()));
    vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO,
                           "recv bytes=%zu eof=%d extra=%s hash=%016llx mtime=%s\n", data.size(),
                           t->eof_seen, t->extra.c_str(),
                           static_cast<unsigned long long>(fnv1a(data)), mtime_text.c_str());
    vorlan_off_t range_offset = 0, range_length = 0;
    int interval = 0;
    vorlan_gridftp_server_get_write_range(t->op, &range_offset, &range_length);
    vorlan_gridftp_server_get_update_interval(t->op, &interval);
    vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO, "channel range=%lld+%lld interval=%d inversions=%d",
                           static_cast<long long>(range_offset),
                           static_cast<long long>(range_length), interval, t->inversions);
    vorlan_result_t result = t->result;
    lock.unlock();
    vorlan_gfs_operation_t op = t->op;
    delete t;
    vorlan_gridftp_server_finished_transfer(op, result);
  });
  return VORLAN_SUCCESS;
}

vorlan_gfs_storage_iface_t g_iface = {
    VORLAN_GFS_DSI_BLOCKING | VORLAN_GFS_DSI_SENDER,
    start,
    destroy,
    nullptr,
    send,
    recv,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    command,
    stat,
    nullptr,
    nullptr,
    nullptr,
};

vorlan_result_t activate() {
  char *name = nullptr;
  vorlan_gridftp_server_get_config_string(nullptr, &name);
  g_name = name != nullptr ? name : "test_dsi";
  free(name);
  vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO, "activated as %s\n", g_name.c_str());
  return vorlan_extension_registry_add(&vorlan_i_gfs_dsi_registry, g_name.c_str(), descriptor(),
                                       &g_iface);
}

vorlan_result_t deactivate() {
  vorlan_extension_registry_remove(&vorlan_i_gfs_dsi_registry, g_name.c_str());
  return VORLAN_SUCCESS;
}

const vorlan_version_t g_version = {1, 0, 0, 0};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) vorlan_module_descriptor_t vorlan_test_dsi_module = {
    "vorlan_test_dsi", activate, deactivate, nullptr, nullptr, &g_version, nullptr};
}

namespace {
vorlan_module_descriptor_t *descriptor() { return &vorlan_test_dsi_module; }
}  // namespace

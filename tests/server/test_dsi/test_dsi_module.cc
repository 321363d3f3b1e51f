// A small storage module that drives the host the way a real one does, with behaviours chosen
// by user name and path so the host tests can provoke each case:
//   session start: a handle, reported from a worker thread
//   stat "/batches/N/M": N partial batches of M records, then a final batch of one
//   command "/twice" finishes twice; "/failure" fails with the bare VORLAN_FAILURE;
//         "/wrongkind" also calls finished_stat; "/never" never finishes; "/config/KEY" answers
//         with the session document KEY; CKSM sends an intermediate reply before the final one
//   send: writes every range of a generated pattern (byte i = (i * 131 + 7) & 0xff, file size
//         from "/send/SIZE"), each window of `concurrency` blocks registered in reverse order;
//         "/early" registers one write and finishes without waiting for it
//   recv: reads everything and one more read after end of data, and fails unless the data is
//         the pattern without gaps, end of data came last and once, and the extra read came
//         back empty at end of data; then logs "recv bytes=B mtime=T" and "channel
//         inversions=N reads=R ahead_of_start=A" (N: reads with data that arrived after one
//         from further on; R: reads with data; A: those that came before offset 0)
// It registers its storage interface as "test_dsi".
#include <vorlan/vorlan_gridftp_server.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" __attribute__((visibility("default"))) vorlan_module_descriptor_t vorlan_test_dsi_module;

// Designated initializers leave the fields they do not name at their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Workers still running: deactivation waits for them, since the host unmaps the module next.
// A worker counts itself down in a thread_local destructor, which the C library runs with the
// module kept loaded.
std::mutex g_workers_lock;
std::condition_variable g_workers_idle;
int g_workers = 0;

struct WorkerExit {
  bool counted = false;
  ~WorkerExit() {
    if (!counted) return;
    std::lock_guard<std::mutex> lock(g_workers_lock);
    --g_workers;
    g_workers_idle.notify_all();
  }
};
// In static TLS: a dynamically allocated TLS block is freed by the ending thread while the
// host's threads allocate theirs, which ThreadSanitizer reports as a race inside the C library.
thread_local WorkerExit g_this_worker __attribute__((tls_model("initial-exec")));

// Runs `work` on a detached thread, as a real module's worker does.
void run_detached(std::function<void()> work) {
  auto *task = new std::function<void()>(std::move(work));
  {
    std::lock_guard<std::mutex> lock(g_workers_lock);
    ++g_workers;
  }
  auto body = [](void *arg) -> void * {
    g_this_worker.counted = true;
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()> *>(arg));
    (*fn)();
    return nullptr;
  };
  vorlan_thread_t thread;
  if (vorlan_thread_create(&thread, nullptr, body, task) != 0) abort();  // no test without one
}

vorlan_result_t module_error(const char *text) {
  return vorlan_error_put(vorlan_error_construct_error(nullptr, nullptr, VORLAN_ERROR_TYPE_MODULE,
                                                       __FILE__, __func__, __LINE__, "%s", text));
}

void start(vorlan_gfs_operation_t op, vorlan_gfs_session_info_t *info) {
  std::string user = info->username;
  run_detached([op, user] {
    vorlan_gridftp_server_finished_session_start(op, VORLAN_SUCCESS, new std::string(user),
                                                 user.c_str(), ("/home/" + user).c_str());
  });
}

void destroy(void *session) { delete static_cast<std::string *>(session); }

void stat(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *info, void * /*session*/) {
  std::string path = info->pathname;
  run_detached([op, path] {
    int batches = 0, per_batch = 0;
    sscanf(path.c_str(), "/batches/%d/%d", &batches, &per_batch);
    int n = 0;
    for (int b = 0; b <= batches; ++b) {
      std::vector<vorlan_gfs_stat_t> records(b < batches ? per_batch : 1);
      std::vector<std::string> names;
      names.reserve(records.size());
      for (auto &st : records) {
        st.mode = 0x81C0;
        st.size = n;
        st.name = names.emplace_back("f" + std::to_string(n++)).data();
      }
      // The host copies during the call, so the names may go at once.
      auto finished = b < batches ? vorlan_gridftp_server_finished_stat_partial
                                  : vorlan_gridftp_server_finished_stat;
      finished(op, VORLAN_SUCCESS, records.data(), static_cast<int>(records.size()));
    }
  });
}

void command(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *info, void * /*session*/) {
  std::string path = info->pathname;
  int code = info->command;
  if (path == "/twice") {
    vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, "first");
    vorlan_gridftp_server_finished_command(op, module_error("second finish"), "second");
  } else if (path == "/failure") {
    vorlan_gridftp_server_finished_command(op, VORLAN_FAILURE, nullptr);
  } else if (path == "/wrongkind") {
    vorlan_gridftp_server_finished_stat(op, VORLAN_SUCCESS, nullptr, 0);
    vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, nullptr);
  } else if (path != "/never") {
    run_detached([op, code, path] {
      std::string answer = std::to_string(code) + " " + path;
      if (path.starts_with("/config/")) {
        char *value = nullptr;
        vorlan_gridftp_server_get_config_data(op, path.c_str() + strlen("/config/"), &value);
        answer = value != nullptr ? value : "(none)";
        free(value);
      } else if (code == VORLAN_GFS_CMD_CKSM) {
        vorlan_gridftp_server_intermediate_command(op, VORLAN_SUCCESS, "50%");
      }
      vorlan_gridftp_server_finished_command(op, VORLAN_SUCCESS, answer.c_str());
    });
  }
}

vorlan_byte_t pattern_byte(int64_t offset) {
  return static_cast<vorlan_byte_t>((offset * 131 + 7) & 0xff);
}

// State of one send or recv, shared with the host's completion callbacks.
struct Transfer {
  explicit Transfer(vorlan_gfs_operation_t o) : op(o) {}
  vorlan_gfs_operation_t op;
  std::mutex mutex;
  std::condition_variable cond;
  int outstanding = 0;
  vorlan_result_t result = VORLAN_SUCCESS;
  vorlan_size_t block_size = 0;
  // recv; the extra phase is the one read registered after end of data, and ahead_of_start
  // counts the reads with data that arrived before the one at offset 0.
  std::map<int64_t, std::string> pieces;
  int eof_with_data = 0, inversions = 0;
  bool eof = false, extra_phase = false, extra_ok = false;
  int64_t furthest = -1;
  size_t ahead_of_start = 0;

  void fail(vorlan_result_t r) {
    if (result != VORLAN_SUCCESS) return vorlan_error_release(r);
    result = r;
  }
  void wait_drained(std::unique_lock<std::mutex> &lock) {
    cond.wait(lock, [this] { return outstanding == 0; });
  }
};

using TransferBody = std::function<void(Transfer &, std::unique_lock<std::mutex> &, int)>;

// Runs `body` on a worker with the transfer begun, its lock held and the channel's block size
// read; `body` gets the channel's concurrency. The transfer ends with its result once `body`
// has returned and every registration has completed.
void run_transfer(vorlan_gfs_operation_t op, TransferBody body) {
  auto *t = new Transfer(op);
  run_detached([op, t, body = std::move(body)] {
    std::unique_lock<std::mutex> lock(t->mutex);
    vorlan_gridftp_server_begin_transfer(t->op, 0, nullptr);
    int concurrency = 0;
    vorlan_gridftp_server_get_block_size(t->op, &t->block_size);
    vorlan_gridftp_server_get_optimal_concurrency(t->op, &concurrency);
    body(*t, lock, concurrency);
    t->wait_drained(lock);
    vorlan_result_t result = t->result;
    lock.unlock();
    delete t;
    vorlan_gridftp_server_finished_transfer(op, result);
  });
}

void write_done(vorlan_gfs_operation_t /*op*/, vorlan_result_t result, vorlan_byte_t *buffer,
                vorlan_size_t /*nbytes*/, void *arg) {
  delete[] buffer;
  if (arg == nullptr) {  // the "/early" write nobody waits for
    vorlan_error_release(result);
    return;
  }
  auto *t = static_cast<Transfer *>(arg);
  std::lock_guard<std::mutex> lock(t->mutex);
  if (result != VORLAN_SUCCESS) t->fail(result);
  --t->outstanding;
  t->cond.notify_all();
}

void send_range(Transfer &t, std::unique_lock<std::mutex> &lock, int64_t offset, int64_t end,
                int concurrency) {
  while (offset < end && t.result == VORLAN_SUCCESS) {
    std::vector<std::pair<int64_t, int64_t>> window;
    for (int i = 0; i < concurrency && offset < end; ++i) {
      int64_t n = std::min<int64_t>(static_cast<int64_t>(t.block_size), end - offset);
      window.emplace_back(offset, n);
      offset += n;
    }
    for (auto it = window.rbegin(); it != window.rend(); ++it) {
      auto *buffer = new vorlan_byte_t[it->second];
      for (int64_t i = 0; i < it->second; ++i) buffer[i] = pattern_byte(it->first + i);
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

void send(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t *info, void * /*session*/) {
  if (std::string(info->pathname) == "/early") {
    run_detached([op] {
      auto *buffer = new vorlan_byte_t[5];
      memcpy(buffer, "early", 5);
      vorlan_result_t r =
          vorlan_gridftp_server_register_write(op, buffer, 5, 0, -1, write_done, nullptr);
      if (r != VORLAN_SUCCESS) delete[] buffer;
      vorlan_gridftp_server_finished_transfer(op, r);
    });
    return;
  }
  int64_t size = 0;
  sscanf(info->pathname, "/send/%ld", &size);
  run_transfer(op, [size](Transfer &t, std::unique_lock<std::mutex> &lock, int concurrency) {
    for (;;) {
      vorlan_off_t offset = 0, length = 0;
      vorlan_gridftp_server_get_read_range(t.op, &offset, &length);
      if (length == 0 || t.result != VORLAN_SUCCESS) return;
      int64_t end = length < 0 ? size : std::min<int64_t>(size, offset + length);
      send_range(t, lock, offset, end, concurrency);
    }
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
    if (offset == 0) t->ahead_of_start = t->pieces.size();
    t->pieces[offset].assign(reinterpret_cast<char *>(buffer), nbytes);
    t->inversions += offset < t->furthest ? 1 : 0;
    t->furthest = std::max<int64_t>(t->furthest, offset);
  }
  delete[] buffer;
  if (t->extra_phase) {
    t->extra_ok = nbytes == 0 && eof && result == VORLAN_SUCCESS;
  } else if (eof) {
    // End of data must come last: everything before it has already arrived.
    int64_t arrived = 0;
    for (auto &[piece_offset, piece] : t->pieces)
      arrived += piece_offset < offset ? static_cast<int64_t>(piece.size()) : 0;
    if (result == VORLAN_SUCCESS && arrived != offset)
      t->fail(module_error("end of data arrived before earlier data"));
    t->eof_with_data += nbytes > 0 ? 1 : 0;
    t->eof = true;
  }
  --t->outstanding;
  // Keep the channel full from inside the completion, as a streaming module does.
  if (!t->eof) register_read_locked(*t);
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

// Why the received data is wrong, or null; `data` gets the data in order.
const char *check_received(const Transfer &t, std::string *data) {
  for (auto &[offset, piece] : t.pieces) {
    if (offset != static_cast<int64_t>(data->size())) return "gap in received data";
    *data += piece;
  }
  for (size_t i = 0; i < data->size(); ++i)
    if (static_cast<vorlan_byte_t>((*data)[i]) != pattern_byte(static_cast<int64_t>(i)))
      return "received data differs from the pattern";
  if (t.eof_with_data != (data->empty() ? 0 : 1))
    return "end of data did not come once with the last data";
  return t.extra_ok ? nullptr : "a read after end of data was not empty at end of data";
}

vorlan_result_t recv(vorlan_gfs_operation_t op, vorlan_gfs_transfer_info_t * /*info*/,
                     void * /*session*/) {
  run_transfer(op, [](Transfer &t, std::unique_lock<std::mutex> &lock, int concurrency) {
    for (int i = 0; i < concurrency && !t.eof; ++i) register_read_locked(t);
    t.cond.wait(lock, [&t] { return t.eof && t.outstanding == 0; });
    if (t.result != VORLAN_SUCCESS) return;
    t.extra_phase = true;
    register_read_locked(t);
    t.wait_drained(lock);
    std::string data;
    if (const char *why = check_received(t, &data); why != nullptr)
      return t.fail(module_error(why));
    time_t mtime = 0;
    std::string mtime_text =
        vorlan_gridftp_server_get_recv_modification_time(t.op, &mtime) == VORLAN_SUCCESS
            ? std::to_string(mtime)
            : "none";
    vorlan_gridftp_server_update_range_recvd(t.op, 0, static_cast<vorlan_off_t>(data.size()));
    vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO, "recv bytes=%zu mtime=%s\n", data.size(),
                           mtime_text.c_str());
    vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO,
                           "channel inversions=%d reads=%zu ahead_of_start=%zu", t.inversions,
                           t.pieces.size(), t.ahead_of_start);
  });
  return VORLAN_SUCCESS;
}

vorlan_gfs_storage_iface_t g_iface = {.descriptor = VORLAN_GFS_DSI_BLOCKING | VORLAN_GFS_DSI_SENDER,
                                      .init_func = start,
                                      .destroy_func = destroy,
                                      .send_func = send,
                                      .recv_func = recv,
                                      .command_func = command,
                                      .stat_func = stat};

vorlan_result_t activate() {
  vorlan_gfs_log_message(VORLAN_GFS_LOG_INFO, "activated as test_dsi\n");
  return vorlan_extension_registry_add(&vorlan_i_gfs_dsi_registry, "test_dsi",
                                       &vorlan_test_dsi_module, &g_iface);
}

vorlan_result_t deactivate() {
  vorlan_extension_registry_remove(&vorlan_i_gfs_dsi_registry, "test_dsi");
  std::unique_lock<std::mutex> lock(g_workers_lock);
  g_workers_idle.wait_for(lock, std::chrono::seconds(5), [] { return g_workers == 0; });
  return VORLAN_SUCCESS;
}

const vorlan_version_t g_version = {1, 0, 0, 0};

}  // namespace

vorlan_module_descriptor_t vorlan_test_dsi_module = {
    "vorlan_test_dsi", activate, deactivate, nullptr, nullptr, &g_version, nullptr};

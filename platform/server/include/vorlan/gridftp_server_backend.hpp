// What stands behind the calls a storage module makes into libvorlan_gridftp_server.
//
// A module links only libvorlan_gridftp_server, as it would in a real server: the completion
// calls, the data channel, the per-session documents and the option string are C functions
// of this library. The program that runs the operations (a server; here the embeddable host in
// libvorlan_host) installs a Backend, and each of those C functions passes its arguments
// through unchanged. So the module never depends on which program it runs in, and the host's
// records stay out of the library the module links.
//
// The base class is the behaviour with no program installed: outputs are zeroed or null,
// results handed over are released, and calls that return a result fail. The server log and
// the registries need no backend and live in the library itself.
#ifndef VORLAN_GRIDFTP_SERVER_BACKEND_HPP
#define VORLAN_GRIDFTP_SERVER_BACKEND_HPP

#include <vorlan/vorlan_gridftp_server.h>

#include <string>

namespace vorlan::gfs {

// Methods are called on any thread, also at once, exactly as the module calls the C function
// of the same name (without its prefix); each takes over what the C function's caller hands
// over. No exception may leave a method.
class Backend {
 public:
  virtual ~Backend() = default;

  virtual void get_config_string(vorlan_gfs_operation_t op, char **string);
  virtual void get_config_data(vorlan_gfs_operation_t op, const char *key, char **string);
  virtual void finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result,
                                      void *session, const char *username, const char *home_dir);
  virtual void finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                const char *command_response);
  virtual void intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                    const char *command_response);
  virtual void finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                             vorlan_gfs_stat_t *stat_array, int stat_count);
  virtual void finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                                     vorlan_gfs_stat_t *stat_array, int stat_count);

  virtual void begin_transfer(vorlan_gfs_operation_t op, int event_mask, void *event_arg);
  virtual void finished_transfer(vorlan_gfs_operation_t op, vorlan_result_t result);
  virtual void get_block_size(vorlan_gfs_operation_t op, vorlan_size_t *block_size);
  virtual void get_optimal_concurrency(vorlan_gfs_operation_t op, int *count);
  virtual void get_update_interval(vorlan_gfs_operation_t op, int *interval);
  virtual void get_read_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                              vorlan_off_t *length);
  virtual void get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                               vorlan_off_t *length);
  virtual void update_range_recvd(vorlan_gfs_operation_t op, vorlan_off_t offset,
                                  vorlan_off_t length);
  virtual void update_bytes_recvd(vorlan_gfs_operation_t op, vorlan_off_t length);
  virtual vorlan_result_t get_recv_modification_time(vorlan_gfs_operation_t op, time_t *modtime);
  virtual vorlan_result_t register_read(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                        vorlan_size_t length,
                                        vorlan_gridftp_server_read_cb_t callback, void *user_arg);
  virtual vorlan_result_t register_write(vorlan_gfs_operation_t op, vorlan_byte_t *buffer,
                                         vorlan_size_t length, vorlan_off_t offset, int stripe_ndx,
                                         vorlan_gridftp_server_write_cb_t callback, void *user_arg);

  // A line of the server log, without its final newline; the library has already appended it
  // to the file named by VORLAN_GRIDFTP_SERVER_LOG.
  virtual void log(int level, const std::string &line);
};

// Makes `backend` serve every later call; it must live as long as the process (a module's
// threads may call in while the process exits).
void install_backend(Backend &backend);

}  // namespace vorlan::gfs

#endif  // VORLAN_GRIDFTP_SERVER_BACKEND_HPP

/*
 * libvorlan_gridftp_server: what a storage module sees of the GridFTP server.
 *
 * The server calls the module through the storage-interface table it finds in
 * vorlan_i_gfs_dsi_registry; the module answers through the completion calls below, from any
 * thread. Every operation handle passed to the module must be finished exactly once with the
 * completion call of its kind.
 */
#ifndef VORLAN_GRIDFTP_SERVER_H
#define VORLAN_GRIDFTP_SERVER_H

#include <vorlan/vorlan_common.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vorlan_gfs_op_s *vorlan_gfs_operation_t;

/* ---- Registry ---------------------------------------------------------------------------- */

typedef struct vorlan_extension_registry_s {
  void *entries; /* owned by the registry's implementation; zero-initialised is empty */
} vorlan_extension_registry_t;

/* Adds `data` under `symbol`; a symbol already present is refused with an error result. */
vorlan_result_t vorlan_extension_registry_add(vorlan_extension_registry_t *registry,
                                              const char *symbol,
                                              vorlan_module_descriptor_t *module, void *data);
/* Removes the entry and returns its data, or null. */
void *vorlan_extension_registry_remove(vorlan_extension_registry_t *registry, const char *symbol);
void *vorlan_extension_registry_lookup(vorlan_extension_registry_t *registry, const char *symbol);

/* Storage interfaces (data storage interfaces, "DSI") register here. */
extern vorlan_extension_registry_t vorlan_i_gfs_dsi_registry;

/* ---- Request records ----------------------------------------------------------------------- */

typedef struct vorlan_gfs_session_info_s {
  char *username;
  char *password;
  char *subject;
  char *host_id;
} vorlan_gfs_session_info_t;

typedef struct vorlan_gfs_stat_s {
  uint32_t mode;
  int32_t nlink;
  char *name;
  char *symlink_target;
  int32_t uid;
  int32_t gid;
  int64_t size;
  int64_t atime;
  int64_t ctime;
  int64_t mtime;
  int32_t dev;
  int32_t ino;
} vorlan_gfs_stat_t;

typedef struct vorlan_gfs_stat_info_s {
  vorlan_bool_t file_only;
  char *pathname;
} vorlan_gfs_stat_info_t;

typedef struct vorlan_gfs_transfer_info_s {
  char *pathname;
  vorlan_bool_t truncate;
  /* The size the client announced (ALLO); 0 when it announced none. */
  int64_t alloc_size;
  char *expected_checksum;
  char *expected_checksum_alg;
} vorlan_gfs_transfer_info_t;

/* Command codes of cmd_info.command. */
enum {
  VORLAN_GFS_CMD_MKD = 1,
  VORLAN_GFS_CMD_RMD = 2,
  VORLAN_GFS_CMD_DELE = 3,
  VORLAN_GFS_CMD_SITE_CHMOD = 4,
  VORLAN_GFS_CMD_SITE_UTIME = 5,
  VORLAN_GFS_CMD_RNTO = 6,
  VORLAN_GFS_CMD_RNFR = 7,
  VORLAN_GFS_CMD_CKSM = 8
};

typedef struct vorlan_gfs_command_info_s {
  int command;
  char *pathname;
  char *from_pathname;
  char *cksm_alg;
  int64_t cksm_offset;
  /* -1 means up to the end of the file. */
  int64_t cksm_length;
} vorlan_gfs_command_info_t;

/* ---- The storage-interface table ------------------------------------------------------------ */

/* Descriptor bits of a storage interface. */
#define VORLAN_GFS_DSI_BLOCKING 0x01     /* entry points may block briefly on server threads */
#define VORLAN_GFS_DSI_SENDER 0x02       /* the module moves file data itself (send/recv) */
#define VORLAN_GFS_DSI_HAS_REALPATH 0x04 /* the realpath slot is filled */
#define VORLAN_GFS_DSI_ORDERED_DATA 0x08 /* uploads need the whole file from one data stream */

typedef void (*vorlan_gfs_session_start_t)(vorlan_gfs_operation_t op,
                                           vorlan_gfs_session_info_t *session_info);
typedef void (*vorlan_gfs_session_destroy_t)(void *session);
typedef void (*vorlan_gfs_send_t)(vorlan_gfs_operation_t op,
                                  vorlan_gfs_transfer_info_t *transfer_info, void *session);
/* The result is informational: every outcome also arrives through finished_transfer. */
typedef vorlan_result_t (*vorlan_gfs_recv_t)(vorlan_gfs_operation_t op,
                                             vorlan_gfs_transfer_info_t *transfer_info,
                                             void *session);
typedef void (*vorlan_gfs_command_t)(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                                     void *session);
typedef void (*vorlan_gfs_stat_func_t)(vorlan_gfs_operation_t op, vorlan_gfs_stat_info_t *stat_info,
                                       void *session);
/* Slots this server never calls. */
typedef void (*vorlan_gfs_unused_slot_t)(void);

typedef struct vorlan_gfs_storage_iface_s {
  int descriptor;
  vorlan_gfs_session_start_t init_func;       /* 1 */
  vorlan_gfs_session_destroy_t destroy_func;  /* 2 */
  vorlan_gfs_unused_slot_t list_func;         /* 3 */
  vorlan_gfs_send_t send_func;                /* 4 */
  vorlan_gfs_recv_t recv_func;                /* 5 */
  vorlan_gfs_unused_slot_t trev_func;         /* 6 */
  vorlan_gfs_unused_slot_t active_func;       /* 7 */
  vorlan_gfs_unused_slot_t passive_func;      /* 8 */
  vorlan_gfs_unused_slot_t data_destroy_func; /* 9 */
  vorlan_gfs_command_t command_func;          /* 10 */
  vorlan_gfs_stat_func_t stat_func;           /* 11 */
  vorlan_gfs_unused_slot_t set_cred_func;     /* 12 */
  vorlan_gfs_unused_slot_t buffer_send_func;  /* 13 */
  vorlan_gfs_unused_slot_t realpath_func;     /* 14 */
} vorlan_gfs_storage_iface_t;

/* ---- Configuration -------------------------------------------------------------------------- */

/* The storage interface's option string (op may be null) as a new string the caller frees, or
 * null when the server has none. */
void vorlan_gridftp_server_get_config_string(vorlan_gfs_operation_t op, char **string);
/* The per-session document named `key` ("config", "collection-policies", "creds",
 * "renew-creds", ...) of op's session as a new string the caller frees, or null. */
void vorlan_gridftp_server_get_config_data(vorlan_gfs_operation_t op, const char *key,
                                           char **string);

/* ---- Completion calls ------------------------------------------------------------------------ */

/* `session` is the module's handle for the session, or null on failure. The server copies the
 * strings. A failed result's error object is taken over by the server. */
void vorlan_gridftp_server_finished_session_start(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                  void *session, const char *username,
                                                  const char *home_dir);
void vorlan_gridftp_server_finished_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                            const char *command_response);
void vorlan_gridftp_server_intermediate_command(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                const char *command_response);
/* The server copies the records (and their strings) during the call. */
void vorlan_gridftp_server_finished_stat(vorlan_gfs_operation_t op, vorlan_result_t result,
                                         vorlan_gfs_stat_t *stat_array, int stat_count);
void vorlan_gridftp_server_finished_stat_partial(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                 vorlan_gfs_stat_t *stat_array, int stat_count);

/* ---- Data channel ------------------------------------------------------------------------------
 */

void vorlan_gridftp_server_begin_transfer(vorlan_gfs_operation_t op, int event_mask,
                                          void *event_arg);
void vorlan_gridftp_server_finished_transfer(vorlan_gfs_operation_t op, vorlan_result_t result);

void vorlan_gridftp_server_get_block_size(vorlan_gfs_operation_t op, vorlan_size_t *block_size);
void vorlan_gridftp_server_get_optimal_concurrency(vorlan_gfs_operation_t op, int *count);

/* Completion of a read: `nbytes` bytes at file offset `offset` are in `buffer`; `eof` is set on
 * the last completion of the stream. Called on a server thread, never inside register_read. */
typedef void (*vorlan_gridftp_server_read_cb_t)(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                vorlan_byte_t *buffer, vorlan_size_t nbytes,
                                                vorlan_off_t offset, vorlan_bool_t eof,
                                                void *user_arg);
typedef void (*vorlan_gridftp_server_write_cb_t)(vorlan_gfs_operation_t op, vorlan_result_t result,
                                                 vorlan_byte_t *buffer, vorlan_size_t nbytes,
                                                 void *user_arg);

/* Asks for the next piece of an upload; the buffer stays the caller's. An error result means
 * the callback will not be called. */
vorlan_result_t vorlan_gridftp_server_register_read(vorlan_gfs_operation_t op,
                                                    vorlan_byte_t *buffer, vorlan_size_t length,
                                                    vorlan_gridftp_server_read_cb_t callback,
                                                    void *user_arg);
/* Sends `length` bytes of a download that belong at file offset `offset`. `stripe_ndx` is -1. */
vorlan_result_t vorlan_gridftp_server_register_write(vorlan_gfs_operation_t op,
                                                     vorlan_byte_t *buffer, vorlan_size_t length,
                                                     vorlan_off_t offset, int stripe_ndx,
                                                     vorlan_gridftp_server_write_cb_t callback,
                                                     void *user_arg);

/* The next range of a download: *length is 0 when no range is left, -1 for the rest of the
 * file. Each call consumes one range. */
void vorlan_gridftp_server_get_read_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                          vorlan_off_t *length);
/* The range an upload writes: offset 0 and length -1 for a whole file. */
void vorlan_gridftp_server_get_write_range(vorlan_gfs_operation_t op, vorlan_off_t *offset,
                                           vorlan_off_t *length);
void vorlan_gridftp_server_update_range_recvd(vorlan_gfs_operation_t op, vorlan_off_t offset,
                                              vorlan_off_t length);
void vorlan_gridftp_server_update_bytes_recvd(vorlan_gfs_operation_t op, vorlan_off_t length);
/* The modification time the client set for an upload (MFMT), or an error when none. */
vorlan_result_t vorlan_gridftp_server_get_recv_modification_time(vorlan_gfs_operation_t op,
                                                                 time_t *modtime);
/* Seconds between progress markers. */
void vorlan_gridftp_server_get_update_interval(vorlan_gfs_operation_t op, int *interval);

/* ---- Errors and the server log ------------------------------------------------------------------
 */

/* A reply error: the server answers the client with `reply_code`, the error-type word
 * `error_code` (may be null) and the headers `header_format` (may be null) filled with the
 * arguments. The new object owns `cause`. */
vorlan_object_t *vorlan_gfs_ftp_response_error_construct(const vorlan_module_descriptor_t *module,
                                                         vorlan_object_t *cause, int reply_code,
                                                         const char *error_code,
                                                         const char *header_format, ...)
    VORLAN_PRINTF_FORMAT(5, 6);
/* The reply error's code and word, searching the cause chain from the outside; 0 and null when
 * there is no reply error in it. */
int vorlan_gfs_error_get_ftp_response_code(const vorlan_object_t *error);
const char *vorlan_gfs_error_get_ftp_response_error_code(const vorlan_object_t *error);
/* The formatted header text ("" when none). */
const char *vorlan_gfs_error_get_ftp_response_headers(const vorlan_object_t *error);

/* The control-channel reply the server sends for a failed request; the caller frees it. CODE is
 * the outermost reply error's code, else 500. With an error-type word, headers or more than one
 * line of text it is a multi-line reply:
 *   CODE-Error-Type: WORD\r\n          (when the reply error has a word)
 *   CODE-<header line>\r\n             (each line of the formatted headers)
 *   CODE-<text line>\r\n               (each line of the other errors' texts, outermost first)
 *   CODE End.\r\n
 * otherwise the single line "CODE <text>\r\n" ("CODE Request failed.\r\n" when there is no
 * text; also for a null error). Carriage returns and empty lines are dropped from every text, so
 * nothing in it can end the reply early. */
char *vorlan_gfs_error_to_reply(const vorlan_object_t *error);

/* A system error for `system_errno`; the text is the format filled with the arguments followed
 * by ": " and strerror's text. */
vorlan_object_t *vorlan_i_gfs_error_system(const vorlan_module_descriptor_t *module,
                                           int system_errno, const char *format, ...)
    VORLAN_PRINTF_FORMAT(3, 4);
#define VORLAN_ERROR_TYPE_SYSTEM 2
#define VORLAN_ERROR_TYPE_FTP_RESPONSE 3

/* Server log levels. */
#define VORLAN_GFS_LOG_ERR 1
#define VORLAN_GFS_LOG_WARN 2
#define VORLAN_GFS_LOG_INFO 4
#define VORLAN_GFS_LOG_DUMP 8

/* Writes one line to the server log. */
void vorlan_gfs_log_message(int level, const char *format, ...) VORLAN_PRINTF_FORMAT(2, 3);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_GRIDFTP_SERVER_H */

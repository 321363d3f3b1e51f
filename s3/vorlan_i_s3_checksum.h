// Checksums: the incremental MD5 state (owned by the one transfer or command that hashes
// with it), the process-wide cache of object MD5s (guarded by its own mutex; base activation
// makes it and deactivation frees it), and the checksum command.
#ifndef VORLAN_I_S3_CHECKSUM_H
#define VORLAN_I_S3_CHECKSUM_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <openssl/md5.h>

#include <cstddef>
#include <cstdint>

// An incremental MD5 of byte_count bytes; finalize leaves its 32 hexadecimal digits in md5sum.
typedef struct md5_state {
  MD5_CTX md5_context;
  char md5sum[33];
  uint64_t byte_count;
} md5_state;

vorlan_result_t vorlan_i_s3_checksum_init(md5_state **state);
vorlan_result_t vorlan_i_s3_checksum_update(md5_state *state, const void *data, size_t length);
vorlan_result_t vorlan_i_s3_checksum_finalize(md5_state *state);
void vorlan_i_s3_checksum_free(md5_state **state);

// Turns a 32-digit hexadecimal MD5 into its 24-character base64 form; `out` has room for 25.
vorlan_result_t vorlan_i_s3_md5sum_encode(const char *md5sum, char *out);

// The cache forgets its oldest insertion beyond this many entries.
constexpr int vorlan_i_s3_checksum_cache_max_entries = 100000;

void vorlan_i_s3_checksum_cache_init();
void vorlan_i_s3_checksum_cache_destroy();
// `checksum` has room for at least 33 characters.
bool vorlan_i_s3_checksum_find(const char *bucket, const char *key, const char *etag, uint64_t size,
                               char *checksum);
vorlan_result_t vorlan_i_s3_checksum_add(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, const char *checksum);
bool vorlan_i_s3_metadata_has_checksum(const S3ResponseProperties *properties);

// The checksum command; its progress replies are timed by the env's checksum_clock.
void vorlan_i_s3_checksum(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                          void *session);

#endif  // VORLAN_I_S3_CHECKSUM_H

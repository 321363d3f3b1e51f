// Checksums: the incremental digest state (owned by the one transfer or command that hashes
// with it), the process-wide cache of object checksums (guarded by its own mutex; base
// activation makes it and deactivation frees it), and the checksum command.
//
// Three algorithms: MD5 (32 lower-case hexadecimal digits), ADLER32 (as zlib's adler32) and CRC32C
// (the Castagnoli CRC), the last two as 8 lower-case hexadecimal digits of the 32-bit value.
#ifndef VORLAN_I_S3_CHECKSUM_H
#define VORLAN_I_S3_CHECKSUM_H

#include <vorlan/s3.h>
#include <vorlan/vorlan_common.h>
#include <vorlan/vorlan_gridftp_server.h>

#include <openssl/md5.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

enum class vorlan_i_s3_algorithm { md5, adler32, crc32c };
constexpr int vorlan_i_s3_algorithm_count = 3;

// The digests a state keeps, as a mask of these bits.
constexpr unsigned vorlan_i_s3_digest_md5 = 1U << 0;
constexpr unsigned vorlan_i_s3_digest_adler32 = 1U << 1;
constexpr unsigned vorlan_i_s3_digest_crc32c = 1U << 2;
constexpr unsigned vorlan_i_s3_digest_all = 7U;
constexpr unsigned vorlan_i_s3_digest_bit(vorlan_i_s3_algorithm algorithm) {
  return 1U << static_cast<unsigned>(algorithm);
}

// "md5", "adler32" or "crc32c", ignoring case; false (and *algorithm untouched) for any other.
bool vorlan_i_s3_algorithm_parse(const char *name, vorlan_i_s3_algorithm *algorithm);
// The lower-case name.
const char *vorlan_i_s3_algorithm_name(vorlan_i_s3_algorithm algorithm);

// One object's checksums as text; "" where unknown. Each has room for an MD5's 32 digits.
struct vorlan_i_s3_checksums {
  char md5[33] = "";
  char adler32[33] = "";
  char crc32c[33] = "";

  char *of(vorlan_i_s3_algorithm algorithm);
  const char *of(vorlan_i_s3_algorithm algorithm) const;
};

// An incremental digest of byte_count bytes, keeping the digests in the `digests` mask;
// finalize leaves the MD5's 32 hexadecimal digits in md5sum and the others' 8 in adler32sum and
// crc32csum (those not kept stay ""). The running ADLER32 and CRC32C are the standard values of
// the bytes so far, so a state can be read at any point.
typedef struct md5_state {
  MD5_CTX md5_context;
  char md5sum[33];
  uint64_t byte_count;
  unsigned digests;
  uint32_t adler32;
  uint32_t crc32c;
  char adler32sum[9];
  char crc32csum[9];
} md5_state;

// A state keeping all three digests.
vorlan_result_t vorlan_i_s3_checksum_init(md5_state **state);
// A state keeping the digests of the mask (at least one bit of vorlan_i_s3_digest_all).
vorlan_result_t vorlan_i_s3_checksum_init_digests(md5_state **state, unsigned digests);
vorlan_result_t vorlan_i_s3_checksum_update(md5_state *state, const void *data, size_t length);
vorlan_result_t vorlan_i_s3_checksum_finalize(md5_state *state);
void vorlan_i_s3_checksum_free(md5_state **state);
// A finalized state's texts (those it kept; the rest "").
vorlan_i_s3_checksums vorlan_i_s3_checksum_texts(const md5_state *state);

// Turns a 32-digit hexadecimal MD5 into its 24-character base64 form; `out` has room for 25.
vorlan_result_t vorlan_i_s3_md5sum_encode(const char *md5sum, char *out);
// The base64 of a 16-byte MD5 (24 characters, "==" at the end) as 32 lower-case digits in
// `md5sum` (room for 33); false, leaving it "", for any other text.
bool vorlan_i_s3_md5sum_decode(const char *base64, char *md5sum);
// A 32-bit value (ADLER32, CRC32C) between its 8 hexadecimal digits and the base64 of its 4
// big-endian bytes (8 characters, "==" at the end) that x-goog-hash and x-amz-checksum-crc32c
// carry. `out` has room for 9. Decoding is false, leaving `out` "", for any other text; the
// digits come out in lower case.
bool vorlan_i_s3_checksum32_encode(const char *hex, char *out);
bool vorlan_i_s3_checksum32_decode(const char *base64, char *out);
// Exactly `digits` hexadecimal digits, any case, into `out` (room for digits + 1) in lower case;
// false, leaving it "", for any other text.
bool vorlan_i_s3_hex_take(std::string_view text, size_t digits, char *out);
// 8 hexadecimal digits, any case, as an "adler32"/"crc32c" metadata entry or a client's
// expected value holds them; `out` (room for 9) gets them in lower case. False, leaving it "",
// for any other text.
bool vorlan_i_s3_checksum32_take_hex(const char *text, char *out);

// The cache forgets its oldest insertion beyond this many entries (object versions).
constexpr int vorlan_i_s3_checksum_cache_max_entries = 100000;

void vorlan_i_s3_checksum_cache_init();
void vorlan_i_s3_checksum_cache_destroy();
// The MD5 of an object version (path, ETag, size); `checksum` has room for at least 33
// characters.
bool vorlan_i_s3_checksum_find(const char *bucket, const char *key, const char *etag, uint64_t size,
                               char *checksum);
vorlan_result_t vorlan_i_s3_checksum_add(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, const char *checksum);
// Any algorithm's value for an object version; `checksum` has room for at least 33 characters.
bool vorlan_i_s3_checksum_find_algorithm(const char *bucket, const char *key, const char *etag,
                                         uint64_t size, vorlan_i_s3_algorithm algorithm,
                                         char *checksum);
// Adds the known values (non-empty members) to the entry of this object version, keeping the
// values it already has for the others; an entry of another version of the object is replaced.
void vorlan_i_s3_checksums_add(const char *bucket, const char *key, const char *etag, uint64_t size,
                               const vorlan_i_s3_checksums &checksums);
bool vorlan_i_s3_metadata_has_checksum(const S3ResponseProperties *properties);
// The answer's ETag as the object's MD5 (32 lower-case digits into `md5sum`, room for 33) when
// vorlan_i_s3_metadata_has_checksum says it is one; false, leaving it "", otherwise.
bool vorlan_i_s3_etag_md5(const S3ResponseProperties *properties, char *md5sum);

// The checksum command; its progress replies are timed by the env's checksum_clock.
void vorlan_i_s3_checksum(vorlan_gfs_operation_t op, vorlan_gfs_command_info_t *cmd_info,
                          void *session);

#endif  // VORLAN_I_S3_CHECKSUM_H

// Incremental digest states: one per transfer or checksum command that hashes its bytes. MD5
// comes from OpenSSL, ADLER32 and CRC32C from ISA-L, which picks the processor's vector and CRC
// instructions at run time.
//
// MD5_Init/MD5_Update/MD5_Final are deprecated in OpenSSL 3 but remain the interface we hash
// with; the header's MD5_CTX member ties the state to them.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "vorlan_i_s3.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *vorlan_l_s3_algorithm_names[vorlan_i_s3_algorithm_count] = {"md5", "adler32",
                                                                                  "crc32c"};

// Extends a standard CRC32C by `length` bytes. ISA-L's crc32_iscsi neither inverts its seed nor
// its result, which the standard CRC32C does; its length is an int.
uint32_t vorlan_l_s3_crc32c_extend(uint32_t crc, const void *data, size_t length) {
  auto *bytes = static_cast<unsigned char *>(const_cast<void *>(data));
  while (length > 0) {
    const size_t piece = std::min<size_t>(length, INT_MAX / 2 + 1);
    crc = ~crc32_iscsi(bytes, static_cast<int>(piece), ~crc);
    bytes += piece;
    length -= piece;
  }
  return crc;
}

}  // namespace

bool vorlan_i_s3_algorithm_parse(const char *name, vorlan_i_s3_algorithm *algorithm) {
  for (int i = 0; name != nullptr && i < vorlan_i_s3_algorithm_count; ++i) {
    if (strcasecmp(name, vorlan_l_s3_algorithm_names[i]) == 0) {
      *algorithm = static_cast<vorlan_i_s3_algorithm>(i);
      return true;
    }
  }
  return false;
}

const char *vorlan_i_s3_algorithm_name(vorlan_i_s3_algorithm algorithm) {
  return vorlan_l_s3_algorithm_names[static_cast<int>(algorithm)];
}

char *vorlan_i_s3_checksums::of(vorlan_i_s3_algorithm algorithm) {
  switch (algorithm) {
    case vorlan_i_s3_algorithm::adler32:
      return adler32;
    case vorlan_i_s3_algorithm::crc32c:
      return crc32c;
    case vorlan_i_s3_algorithm::md5:
      break;
  }
  return md5;
}

const char *vorlan_i_s3_checksums::of(vorlan_i_s3_algorithm algorithm) const {
  return const_cast<vorlan_i_s3_checksums *>(this)->of(algorithm);
}

vorlan_result_t vorlan_i_s3_checksum_init(md5_state **state) {
  return vorlan_i_s3_checksum_init_digests(state, vorlan_i_s3_digest_all);
}

vorlan_result_t vorlan_i_s3_checksum_init_digests(md5_state **state, unsigned digests) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  auto *new_state = static_cast<md5_state *>(calloc(1, sizeof(md5_state)));
  if (new_state != nullptr) {
    new_state->digests = digests & vorlan_i_s3_digest_all;
    new_state->adler32 = 1;
    new_state->crc32c = 0;
    if ((new_state->digests & vorlan_i_s3_digest_md5) != 0 &&
        MD5_Init(&new_state->md5_context) != 1) {
      free(new_state);
      new_state = nullptr;
    }
  }
  if (new_state == nullptr) {
    result = vorlan_i_s3_malloc_error();
  }
  *state = new_state;
  VORLAN_S3_TRACE_EXIT();
  return result;
}

vorlan_result_t vorlan_i_s3_checksum_update(md5_state *state, const void *data, size_t length) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  if ((state->digests & vorlan_i_s3_digest_md5) != 0 &&
      MD5_Update(&state->md5_context, data, length) != 1) {
    result = VORLAN_S3_ERROR("%s", "checksum update error");
  }
  if ((state->digests & vorlan_i_s3_digest_adler32) != 0 && length > 0) {
    state->adler32 = isal_adler32(state->adler32, static_cast<const unsigned char *>(data), length);
  }
  if ((state->digests & vorlan_i_s3_digest_crc32c) != 0 && length > 0) {
    state->crc32c = vorlan_l_s3_crc32c_extend(state->crc32c, data, length);
  }
  state->byte_count += length;
  VORLAN_S3_TRACE_EXIT();
  return result;
}

vorlan_result_t vorlan_i_s3_checksum_finalize(md5_state *state) {
  VORLAN_S3_TRACE_ENTER();
  vorlan_result_t result = VORLAN_SUCCESS;
  unsigned char digest[MD5_DIGEST_LENGTH];
  state->md5sum[0] = state->adler32sum[0] = state->crc32csum[0] = '\0';
  if ((state->digests & vorlan_i_s3_digest_md5) != 0) {
    if (MD5_Final(digest, &state->md5_context) != 1) {
      result = VORLAN_S3_ERROR("%s", "Can not finalize checksum.");
    } else {
      for (size_t i = 0; i < MD5_DIGEST_LENGTH; i++) {
        snprintf(state->md5sum + 2 * i, 3, "%.2x", digest[i]);
      }
    }
  }
  if ((state->digests & vorlan_i_s3_digest_adler32) != 0) {
    snprintf(state->adler32sum, sizeof state->adler32sum, "%08x", state->adler32);
  }
  if ((state->digests & vorlan_i_s3_digest_crc32c) != 0) {
    snprintf(state->crc32csum, sizeof state->crc32csum, "%08x", state->crc32c);
  }
  VORLAN_S3_TRACE_EXIT();
  return result;
}

vorlan_i_s3_checksums vorlan_i_s3_checksum_texts(const md5_state *state) {
  vorlan_i_s3_checksums texts;
  snprintf(texts.md5, sizeof texts.md5, "%s", state->md5sum);
  snprintf(texts.adler32, sizeof texts.adler32, "%s", state->adler32sum);
  snprintf(texts.crc32c, sizeof texts.crc32c, "%s", state->crc32csum);
  return texts;
}

void vorlan_i_s3_checksum_free(md5_state **state) {
  VORLAN_S3_TRACE_ENTER();
  if (state != nullptr) {
    free(*state);
    *state = nullptr;
  }
  VORLAN_S3_TRACE_EXIT();
}

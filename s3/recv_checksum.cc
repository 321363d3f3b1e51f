// What an upload does with the digests of its whole data: the client's expected ADLER32 or
// CRC32C checked before the object is committed, and all three values cached under the stored
// object's ETag, so that a checksum right after an upload reads no byte of it.
#include "vorlan_i_s3.h"

#include <cstring>

vorlan_result_t vorlan_i_s3_recv_checksum_check(const transfer_state *transfer_state) {
  const char *expected = transfer_state->expected_checksum;
  if (expected[0] == '\0') return VORLAN_SUCCESS;
  const vorlan_i_s3_algorithm algorithm = transfer_state->expected_algorithm;
  const vorlan_i_s3_checksums computed = vorlan_i_s3_checksum_texts(transfer_state->file_checksum);
  const char *value = computed.of(algorithm);
  if (std::strcmp(value, expected) == 0) return VORLAN_SUCCESS;
  const char *name = vorlan_i_s3_algorithm_name(algorithm);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_WARN, "op=%p %s: %s %s differs from the expected %s\n",
                static_cast<const void *>(transfer_state->request.op),
                transfer_state->request.pathname, name, value, expected);
  // The headers are those of a service's BadDigest, so a client reads both values alike.
  vorlan_object_t *cause = VORLAN_S3_ERROR_OBJECT(
      nullptr, VORLAN_ERROR_TYPE_MODULE,
      "The %s checksum of the data received, %s, differs from the expected %s: \"%s\" was not "
      "stored",
      name, value, expected, transfer_state->request.pathname);
  return vorlan_error_put(vorlan_gfs_ftp_response_error_construct(
      nullptr, cause, 550, "INCORRECT_CHECKSUM",
      "GridFTP-Computed-Checksum: %s\nGridFTP-Expected-Checksum: %s", value, expected));
}

void vorlan_i_s3_recv_checksum_cache(const char *func_name, const transfer_state *transfer_state,
                                     const char *etag) {
  const md5_state *state = transfer_state->file_checksum;
  const vorlan_i_s3_request_t &request = transfer_state->request;
  const vorlan_i_s3_checksums checksums = vorlan_i_s3_checksum_texts(state);
  VORLAN_S3_LOG_AS(VORLAN_S3_DEBUG_INFO, func_name,
                   "checksum cached: op=%p etag=%s size=%llu md5sum=%s adler32=%s crc32c=%s\n",
                   static_cast<const void *>(request.op), vorlan_i_s3_str(etag),
                   static_cast<unsigned long long>(state->byte_count), checksums.md5,
                   checksums.adler32, checksums.crc32c);
  vorlan_i_s3_checksums_add(request.bucket, request.key, etag, state->byte_count, checksums);
}

// Checksums between the hexadecimal text the module answers and the base64 of the digest's
// bytes that headers and metadata carry (Content-MD5, x-goog-hash, x-amz-checksum-crc32c,
// rclone's "md5chksum").
#include "vorlan_i_s3.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// `count` bytes from 2 * count hexadecimal digits; false at the first other character (a
// short text ends at its terminator).
bool vorlan_l_s3_hex_bytes(const char *hex, unsigned char *bytes, size_t count) {
  auto digit = [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
  };
  for (size_t i = 0; i < count; i++) {
    const char high = hex[2 * i];
    if (!std::isxdigit(static_cast<unsigned char>(high)) ||
        !std::isxdigit(static_cast<unsigned char>(hex[2 * i + 1]))) {
      return false;
    }
    bytes[i] = static_cast<unsigned char>(digit(high) << 4 | digit(hex[2 * i + 1]));
  }
  return true;
}

// The base64 of exactly `count` bytes, padded as EVP writes it, into `out` as hexadecimal
// digits; false (and `out` "") for any other text.
bool vorlan_l_s3_base64_hex(const char *base64, size_t count, char *out) {
  out[0] = '\0';
  const size_t encoded = 4 * ((count + 2) / 3);
  const size_t padding = (3 - count % 3) % 3;
  if (base64 == nullptr || std::strlen(base64) != encoded ||
      std::strcspn(base64, "=") != encoded - padding) {
    return false;
  }
  unsigned char bytes[64];
  if (encoded / 4 * 3 > sizeof bytes ||
      EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char *>(base64),
                      static_cast<int>(encoded)) != static_cast<int>(encoded / 4 * 3)) {
    return false;
  }
  for (size_t i = 0; i < count; ++i) std::snprintf(out + 2 * i, 3, "%.2x", bytes[i]);
  return true;
}

}  // namespace

vorlan_result_t vorlan_i_s3_md5sum_encode(const char *md5sum, char *out) {
  VORLAN_S3_TRACE_ENTER();
  unsigned char digest[16];
  if (!vorlan_l_s3_hex_bytes(md5sum, digest, sizeof digest)) {
    return VORLAN_S3_ERROR("Invalid character in md5sum %32s", md5sum);
  }
  EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out), digest, sizeof digest);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Encoded md5sum=%32s to %s\n", md5sum, out);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "result=VORLAN_SUCCESS\n");
  return VORLAN_SUCCESS;
}

bool vorlan_i_s3_md5sum_decode(const char *base64, char *md5sum) {
  return vorlan_l_s3_base64_hex(base64, 16, md5sum);
}

bool vorlan_i_s3_hex_take(std::string_view text, size_t digits, char *out) {
  out[0] = '\0';
  if (text.size() != digits || text.find_first_not_of("0123456789abcdefABCDEF") != text.npos) {
    return false;
  }
  for (size_t i = 0; i < digits; ++i) {
    out[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  }
  out[digits] = '\0';
  return true;
}

bool vorlan_i_s3_checksum32_take_hex(const char *text, char *out) {
  return text != nullptr && vorlan_i_s3_hex_take(text, 8, out);
}

bool vorlan_i_s3_etag_md5(const S3ResponseProperties *properties, char *md5sum) {
  md5sum[0] = '\0';
  return vorlan_i_s3_metadata_has_checksum(properties) &&
         vorlan_i_s3_hex_take(std::string_view(properties->eTag + 1, 32), 32, md5sum);
}

bool vorlan_i_s3_checksum32_encode(const char *hex, char *out) {
  unsigned char bytes[4];
  out[0] = '\0';
  if (hex == nullptr || std::strlen(hex) != 8 || !vorlan_l_s3_hex_bytes(hex, bytes, 4)) {
    return false;
  }
  EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out), bytes, sizeof bytes);
  return true;
}

bool vorlan_i_s3_checksum32_decode(const char *base64, char *out) {
  return vorlan_l_s3_base64_hex(base64, 4, out);
}

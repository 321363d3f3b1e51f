// The client's expected MD5, 32 hexadecimal digits, in the base64 form of Content-MD5.
#include "vorlan_i_s3.h"

#include <cctype>

vorlan_result_t vorlan_i_s3_md5sum_encode(const char *md5sum, char *out) {
  VORLAN_S3_TRACE_ENTER();
  unsigned char digest[16];
  auto digit = [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10;
  };
  for (size_t i = 0; i < 16; i++) {
    // The first digit checked before the second is read: a short text ends at its terminator.
    const char high = md5sum[2 * i];
    if (!std::isxdigit(static_cast<unsigned char>(high)) ||
        !std::isxdigit(static_cast<unsigned char>(md5sum[2 * i + 1]))) {
      return VORLAN_S3_ERROR("Invalid character in md5sum %32s", md5sum);
    }
    digest[i] = static_cast<unsigned char>(digit(high) << 4 | digit(md5sum[2 * i + 1]));
  }
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  char *next = out;
  for (int i = 0; i < 16; i += 3) {
    const unsigned value = (digest[i] << 16) | (i + 1 < 16 ? digest[i + 1] << 8 : 0) |
                           (i + 2 < 16 ? digest[i + 2] : 0);
    *next++ = alphabet[(value >> 18) & 63];
    *next++ = alphabet[(value >> 12) & 63];
    *next++ = i + 1 < 16 ? alphabet[(value >> 6) & 63] : '=';
    *next++ = i + 2 < 16 ? alphabet[value & 63] : '=';
  }
  *next = '\0';
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "Encoded md5sum=%32s to %s\n", md5sum, out);
  VORLAN_S3_LOG(VORLAN_S3_DEBUG_TRACE, "result=VORLAN_SUCCESS\n");
  return VORLAN_SUCCESS;
}

#include "sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <map>

namespace {

using digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

std::string to_hex(const unsigned char *bytes, size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0xf]);
  }
  return out;
}

digest hmac_sha256(std::string_view key, std::string_view data) {
  digest out{};
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(data.data()), data.size(), out.data(), &length);
  return out;
}

std::string_view as_view(const digest &d) {
  return {reinterpret_cast<const char *>(d.data()), d.size()};
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Trims the value and collapses each inner run of blanks into one space.
std::string canonical_value(std::string_view value) {
  std::string out;
  bool pending_space = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
  }
  return out;
}

// Lower-case names in order, each with its canonical value; repeated names joined by ','.
std::map<std::string, std::string> canonical_headers(const vorlan_s3::signing_input &input) {
  std::map<std::string, std::string> headers;
  for (const auto &[name, value] : input.headers) {
    std::string &slot = headers[lower(name)];
    if (!slot.empty()) slot += ',';
    slot += canonical_value(value);
  }
  return headers;
}

std::string signed_header_list(const std::map<std::string, std::string> &headers) {
  std::string out;
  for (const auto &entry : headers) {
    if (!out.empty()) out += ';';
    out += entry.first;
  }
  return out;
}

}  // namespace

namespace vorlan_s3 {

std::string sha256_hex(std::string_view data) {
  digest out{};
  SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), out.data());
  return to_hex(out.data(), out.size());
}

std::string amz_date(int64_t epoch_seconds) {
  std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

std::string sigv4_canonical_request(const signing_input &input) {
  std::map<std::string, std::string> headers = canonical_headers(input);
  std::string out;
  out += input.method;
  out += '\n';
  out += input.canonical_uri;
  out += '\n';
  out += input.canonical_query;
  out += '\n';
  for (const auto &[name, value] : headers) {
    out += name;
    out += ':';
    out += value;
    out += '\n';
  }
  out += '\n';
  out += signed_header_list(headers);
  out += '\n';
  out += input.payload_hash;
  return out;
}

std::string sigv4_authorization(const signing_input &input) {
  std::string_view date = input.amz_date.substr(0, 8);
  std::string scope = std::string(date) + "/" + std::string(input.region) + "/s3/aws4_request";

  std::string string_to_sign = "AWS4-HMAC-SHA256\n";
  string_to_sign += input.amz_date;
  string_to_sign += '\n';
  string_to_sign += scope;
  string_to_sign += '\n';
  string_to_sign += sha256_hex(sigv4_canonical_request(input));

  std::string secret = "AWS4" + std::string(input.secret_access_key);
  digest date_key = hmac_sha256(secret, date);
  digest region_key = hmac_sha256(as_view(date_key), input.region);
  digest service_key = hmac_sha256(as_view(region_key), "s3");
  digest signing_key = hmac_sha256(as_view(service_key), "aws4_request");
  digest signature = hmac_sha256(as_view(signing_key), string_to_sign);
  OPENSSL_cleanse(secret.data(), secret.size());

  std::string out = "AWS4-HMAC-SHA256 Credential=";
  out += input.access_key_id;
  out += '/';
  out += scope;
  out += ",SignedHeaders=";
  out += signed_header_list(canonical_headers(input));
  out += ",Signature=";
  out += to_hex(signature.data(), signature.size());
  return out;
}

}  // namespace vorlan_s3

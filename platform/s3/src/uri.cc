#include "uri.h"

#include <algorithm>
#include <cstring>

namespace {

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool is_control_or_space(unsigned char c) { return c <= 0x20 || c == 0x7f; }

bool is_host_label_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

}  // namespace

namespace vorlan_s3 {

std::string uri_encode(std::string_view text, bool keep_slash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (is_unreserved(c) || (keep_slash && c == '/')) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xf]);
    }
  }
  return out;
}

S3Status check_bucket_name(const char *bucket, S3UriStyle style) {
  if (bucket == nullptr || bucket[0] == '\0') return S3StatusInvalidBucketNameTooShort;
  std::string_view name(bucket);
  if (name.size() > S3_MAX_HOSTNAME_SIZE) return S3StatusInvalidBucketNameTooLong;
  if (name == "." || name == "..") return S3StatusInvalidBucketNameCharacterSequence;
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (is_control_or_space(c) || std::strchr("/?#@:%\\", ch) != nullptr) {
      return S3StatusInvalidBucketNameCharacter;
    }
    if (style == S3UriStyleVirtualHost && !is_host_label_char(c)) {
      return S3StatusInvalidBucketNameCharacter;
    }
  }
  if (style == S3UriStyleVirtualHost) {
    if (name.front() == '.' || name.front() == '-') return S3StatusInvalidBucketNameFirstCharacter;
    if (name.find("..") != std::string_view::npos || name.back() == '.') {
      return S3StatusInvalidBucketNameCharacterSequence;
    }
  }
  return S3StatusOK;
}

S3Status check_host_name(std::string_view host) {
  if (host.empty() || host.size() > S3_MAX_HOSTNAME_SIZE + 6)
    return S3StatusFailedToInitializeRequest;
  for (char ch : host) {
    auto c = static_cast<unsigned char>(ch);
    if (is_control_or_space(c) || std::strchr("/?#@\\%", ch) != nullptr) {
      return S3StatusFailedToInitializeRequest;
    }
  }
  return S3StatusOK;
}

std::string request_target::url(S3Protocol protocol) const {
  std::string out = protocol == S3ProtocolHTTP ? "http://" : "https://";
  out += host;
  out += path;
  if (!query.empty()) {
    out += '?';
    out += query;
  }
  return out;
}

S3Status build_request_target(S3UriStyle style, std::string_view host, const char *bucket,
                              const char *key, const query_params &query, request_target *target) {
  if (S3Status status = check_host_name(host); status != S3StatusOK) return status;
  if (bucket != nullptr) {
    if (S3Status status = check_bucket_name(bucket, style); status != S3StatusOK) return status;
  }
  if (key != nullptr) {
    // "/bucket/" and "/key" name other resources than the object asked for.
    if (bucket == nullptr) return S3StatusInvalidBucketNameTooShort;
    size_t length = std::strlen(key);
    if (length == 0) return S3StatusKeyMissing;
    if (length > S3_MAX_KEY_SIZE) return S3StatusKeyTooLong;
  }

  target->host.clear();
  target->path.assign(1, '/');
  if (bucket != nullptr && style == S3UriStyleVirtualHost) {
    target->host = bucket;
    target->host += '.';
  }
  target->host += host;
  if (bucket != nullptr && style == S3UriStylePath) {
    target->path += uri_encode(bucket, false);
    if (key != nullptr) target->path += '/';
  }
  if (key != nullptr) target->path += uri_encode(key, true);

  std::vector<std::pair<std::string, std::string>> encoded;
  encoded.reserve(query.size());
  for (auto &[name, value] : query) {
    encoded.emplace_back(uri_encode(name, false), uri_encode(value, false));
  }
  std::sort(encoded.begin(), encoded.end());
  target->query.clear();
  for (const auto &[name, value] : encoded) {
    if (!target->query.empty()) target->query += '&';
    target->query += name;
    target->query += '=';
    target->query += value;
  }
  return S3StatusOK;
}

}  // namespace vorlan_s3

#include "response_headers.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool istarts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

const char *c_str_or_null(const std::optional<std::string> &text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

namespace vorlan_s3 {

bool etag_is_md5(std::string_view etag) {
  if (etag.substr(0, 2) == "W/") etag.remove_prefix(2);
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') {
    etag = etag.substr(1, etag.size() - 2);
  }
  return etag.size() == 32 && std::all_of(etag.begin(), etag.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

int64_t parse_http_date(std::string_view text) {
  std::string copy(trim(text));
  if (copy.empty()) return -1;
  return static_cast<int64_t>(curl_getdate(copy.c_str(), nullptr));
}

bool parse_content_range(std::string_view text, content_range_value *range) {
  auto number = [&text](uint64_t *value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
    if (error != std::errc() || end == text.data()) return false;
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    return true;
  };
  text = trim(text);
  if (!istarts_with(text, "bytes ")) return false;
  text.remove_prefix(6);
  if (!number(&range->first) || text.substr(0, 1) != "-") return false;
  text.remove_prefix(1);
  if (!number(&range->last) || text.substr(0, 1) != "/" || range->last < range->first) {
    return false;
  }
  text.remove_prefix(1);
  range->total.reset();
  if (text == "*") return true;
  uint64_t total = 0;
  if (!number(&total) || !text.empty()) return false;
  range->total = total;
  return true;
}

void response_headers::reset() { *this = response_headers(); }

void response_headers::add_line(std::string_view line) {
  // NUL is never valid in a header. Read as a space, as HTTP allows for field values, it cannot
  // cut short a name or value that is handed on as a C string.
  std::string without_nul;
  if (line.find('\0') != std::string_view::npos) {
    without_nul.assign(line);
    std::replace(without_nul.begin(), without_nul.end(), '\0', ' ');
    line = without_nul;
  }
  line = trim(line);
  if (line.substr(0, 5) == "HTTP/") {
    reset();
    size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      // Exactly three digits; a sign or a shorter number leaves the code unknown (0).
      std::string_view code = line.substr(space + 1, 3);
      if (code.size() == 3 && std::all_of(code.begin(), code.end(),
                                          [](unsigned char c) { return std::isdigit(c) != 0; })) {
        std::from_chars(code.data(), code.data() + code.size(), http_code_);
      }
    }
    return;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return;
  add_field(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
}

void response_headers::add_field(std::string_view name, std::string_view value) {
  if (iequals(name, "Content-Length")) {
    uint64_t length = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (error == std::errc() && end == value.data() + value.size()) content_length_ = length;
  } else if (iequals(name, "x-goog-stored-content-length")) {
    uint64_t length = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (error == std::errc() && end == value.data() + value.size()) stored_length_ = length;
  } else if (iequals(name, "Transfer-Encoding")) {
    chunked_ = lower(value).find("chunked") != std::string::npos;
  } else if (iequals(name, "Content-Type")) {
    content_type_ = value;
  } else if (iequals(name, "Content-Range")) {
    content_range_ = value;
  } else if (iequals(name, "ETag")) {
    etag_ = value;
  } else if (iequals(name, "Last-Modified")) {
    last_modified_ = parse_http_date(value);
  } else if (iequals(name, "Server")) {
    server_ = value;
  } else if (iequals(name, "x-amz-request-id")) {
    request_id_ = value;
  } else if (iequals(name, "x-amz-id-2") || iequals(name, "x-guploader-uploadid")) {
    if (!request_id2_) request_id2_ = value;
  } else if (iequals(name, "x-amz-bucket-region")) {
    bucket_region_ = value;
  } else if (iequals(name, "x-amz-server-side-encryption")) {
    if (iequals(value, "AES256")) {
      sse_s3_ = true;
    } else {
      sse_other_ = true;
    }
  } else if (istarts_with(name, "x-amz-server-side-encryption-customer-") ||
             iequals(name, "x-goog-encryption-algorithm") ||
             iequals(name, "x-goog-encryption-kms-key-name")) {
    sse_other_ = true;
  } else if (iequals(name, "x-goog-hash")) {
    add_goog_hash(value);
  } else if (iequals(name, "x-amz-checksum-crc32c")) {
    if (!crc32c_) crc32c_ = value;
  } else if (iequals(name, "x-amz-storage-class") || iequals(name, "x-goog-storage-class")) {
    storage_class_ = value;
  } else if (iequals(name, "x-amz-restore")) {
    restore_ = value;
  } else if (iequals(name, "x-goog-generation")) {
    generation_ = value;
  } else if (istarts_with(name, "x-amz-meta-") || istarts_with(name, "x-goog-meta-")) {
    size_t prefix = istarts_with(name, "x-amz-meta-") ? 11 : 12;
    if (name.size() > prefix) {
      meta_texts_.push_back(lower(name.substr(prefix)));
      meta_texts_.emplace_back(value);
    }
  }
}

// "crc32c=n03x6A==, md5=Ojk9c3dhfxgoKVVHYwFbHQ==": item names are compared ignoring case; a
// value keeps its "=" padding, as only the first "=" of an item separates.
void response_headers::add_goog_hash(std::string_view value) {
  while (!value.empty()) {
    const size_t comma = value.find(',');
    std::string_view item = trim(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = trim(item.substr(0, equals));
    const std::string_view digest = trim(item.substr(equals + 1));
    if (iequals(name, "crc32c") && !crc32c_) {
      crc32c_ = digest;
    } else if (iequals(name, "md5") && !md5_base64_) {
      md5_base64_ = digest;
    }
  }
}

std::optional<std::string_view> response_headers::content_range() const {
  if (!content_range_) return std::nullopt;
  return std::string_view(*content_range_);
}

std::optional<uint64_t> response_headers::object_size() const {
  content_range_value range;
  if (http_code_ == 206) {
    if (content_range_ && parse_content_range(*content_range_, &range) && range.total) {
      return range.total;
    }
    return stored_length_;
  }
  return content_length_ ? content_length_ : stored_length_;
}

std::optional<std::string_view> response_headers::bucket_region() const {
  if (!bucket_region_) return std::nullopt;
  return std::string_view(*bucket_region_);
}

const S3ResponseProperties &response_headers::properties() {
  meta_.clear();
  for (size_t i = 0; i + 1 < meta_texts_.size(); i += 2) {
    meta_.push_back({meta_texts_[i].c_str(), meta_texts_[i + 1].c_str()});
  }
  properties_ = S3ResponseProperties{};
  properties_.requestId = c_str_or_null(request_id_);
  properties_.requestId2 = c_str_or_null(request_id2_);
  properties_.contentType = c_str_or_null(content_type_);
  properties_.contentLength = content_length_.value_or(0);
  properties_.contentLengthKnown = content_length_.has_value() ? 1 : 0;
  properties_.server = c_str_or_null(server_);
  properties_.eTag = c_str_or_null(etag_);
  properties_.lastModified = last_modified_;
  properties_.metaDataCount = static_cast<int>(meta_.size());
  properties_.metaData = meta_.empty() ? nullptr : meta_.data();
  bool etag_not_md5 = sse_other_ || (etag_ && !etag_is_md5(*etag_));
  properties_.usesServerSideEncryption =
      static_cast<char>(etag_not_md5 ? S3_SSE_ETAG_NOT_MD5 : (sse_s3_ ? S3_SSE_S3 : S3_SSE_NONE));
  properties_.bucketRegion = c_str_or_null(bucket_region_);
  std::optional<uint64_t> size = object_size();
  properties_.objectSize = size.value_or(0);
  properties_.objectSizeKnown = size.has_value() ? 1 : 0;
  properties_.crc32cBase64 = c_str_or_null(crc32c_);
  properties_.md5Base64 = c_str_or_null(md5_base64_);
  properties_.storageClass = c_str_or_null(storage_class_);
  properties_.restore = c_str_or_null(restore_);
  properties_.generation = c_str_or_null(generation_);
  return properties_;
}

}  // namespace vorlan_s3

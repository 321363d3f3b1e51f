// Reply errors, system errors and the control-channel reply built from an error chain.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server_internal.hpp"

namespace vorlan::gfs::internal {

std::string vformat(const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) {
    return {};
  }
  std::string text(static_cast<size_t>(needed), '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

char *malloc_copy(const std::string &text) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text.c_str(), text.size() + 1);
  }
  return copy;
}

}  // namespace vorlan::gfs::internal

namespace {

using vorlan::gfs::internal::format;
using vorlan::gfs::internal::malloc_copy;
using vorlan::gfs::internal::vformat;

constexpr const char *kReplyPayloadKind = "vorlan_gfs_ftp_response";

struct ReplyPayload {
  int code = 0;
  std::string error_code;
  bool has_error_code = false;
  std::string headers;
};

void free_reply_payload(void *payload) { delete static_cast<ReplyPayload *>(payload); }

const ReplyPayload *reply_payload(const vorlan_object_t *error) {
  return static_cast<const ReplyPayload *>(vorlan_error_get_payload(error, kReplyPayloadKind));
}

// The outermost reply error of the chain, or null.
const vorlan_object_t *find_reply_error(const vorlan_object_t *error) {
  for (; error != nullptr; error = vorlan_error_get_cause(error)) {
    if (vorlan_error_get_type(error) == VORLAN_ERROR_TYPE_FTP_RESPONSE &&
        reply_payload(error) != nullptr) {
      return error;
    }
  }
  return nullptr;
}

// Splits on '\n', drops carriage returns and empty lines: no text from the storage service
// can end the reply early or forge a reply line of its own.
void append_lines(std::vector<std::string> &lines, const std::string &text) {
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      if (!line.empty()) {
        lines.push_back(line);
      }
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  if (!line.empty()) {
    lines.push_back(line);
  }
}

}  // namespace

extern "C" {

vorlan_object_t *vorlan_gfs_ftp_response_error_construct(const vorlan_module_descriptor_t *module,
                                                         vorlan_object_t *cause, int reply_code,
                                                         const char *error_code,
                                                         const char *header_format, ...) {
  auto *payload = new (std::nothrow) ReplyPayload;
  if (payload == nullptr) {
    vorlan_object_free(cause);
    return nullptr;
  }
  try {
    payload->code = reply_code;
    if (error_code != nullptr) {
      payload->error_code = error_code;
      payload->has_error_code = true;
    }
    if (header_format != nullptr) {
      va_list args;
      va_start(args, header_format);
      payload->headers = vformat(header_format, args);
      va_end(args);
    }
  } catch (...) {
    delete payload;
    vorlan_object_free(cause);
    return nullptr;
  }
  // The object's own text names the reply for logs; replies show its parts as their own lines.
  std::string text = std::to_string(reply_code);
  if (payload->has_error_code) {
    text += " " + payload->error_code;
  }
  if (!payload->headers.empty()) {
    std::string headers = payload->headers;
    for (char &c : headers) {
      if (c == '\n' || c == '\r') {
        c = ' ';
      }
    }
    text += " (" + headers + ")";
  }
  vorlan_object_t *error =
      vorlan_error_construct_error(module, cause, VORLAN_ERROR_TYPE_FTP_RESPONSE, __FILE__,
                                   __func__, __LINE__, "%s", text.c_str());
  if (error == nullptr) {
    delete payload;
    return nullptr;
  }
  vorlan_error_set_payload(error, kReplyPayloadKind, payload, free_reply_payload);
  return error;
}

int vorlan_gfs_error_get_ftp_response_code(const vorlan_object_t *error) {
  const vorlan_object_t *reply = find_reply_error(error);
  return reply != nullptr ? reply_payload(reply)->code : 0;
}

const char *vorlan_gfs_error_get_ftp_response_error_code(const vorlan_object_t *error) {
  const vorlan_object_t *reply = find_reply_error(error);
  if (reply == nullptr || !reply_payload(reply)->has_error_code) {
    return nullptr;
  }
  return reply_payload(reply)->error_code.c_str();
}

const char *vorlan_gfs_error_get_ftp_response_headers(const vorlan_object_t *error) {
  const vorlan_object_t *reply = find_reply_error(error);
  return reply != nullptr ? reply_payload(reply)->headers.c_str() : "";
}

char *vorlan_gfs_error_to_reply(const vorlan_object_t *error) {
  try {
    const vorlan_object_t *reply = find_reply_error(error);
    const ReplyPayload *payload = reply != nullptr ? reply_payload(reply) : nullptr;
    int code = payload != nullptr ? payload->code : 500;
    std::vector<std::string> header_lines, text_lines;
    if (payload != nullptr) {
      append_lines(header_lines, payload->headers);
    }
    // The outermost reply error is shown by its Error-Type and header lines.
    for (const vorlan_object_t *e = error; e != nullptr; e = vorlan_error_get_cause(e)) {
      if (e != reply) {
        append_lines(text_lines, vorlan_error_get_long_desc(e));
      }
    }
    bool has_type = payload != nullptr && payload->has_error_code;
    if (!has_type && header_lines.empty() && text_lines.size() <= 1) {
      std::string text = text_lines.empty() ? "Request failed." : text_lines.front();
      return malloc_copy(format("%d %s\r\n", code, text.c_str()));
    }
    std::string out;
    if (has_type) {
      out += format("%d-Error-Type: %s\r\n", code, payload->error_code.c_str());
    }
    for (const auto &line : header_lines) {
      out += format("%d-%s\r\n", code, line.c_str());
    }
    for (const auto &line : text_lines) {
      out += format("%d-%s\r\n", code, line.c_str());
    }
    out += format("%d End.\r\n", code);
    return malloc_copy(out);
  } catch (...) {
    return nullptr;
  }
}

vorlan_object_t *vorlan_i_gfs_error_system(const vorlan_module_descriptor_t *module,
                                           int system_errno, const char *format, ...) {
  try {
    std::string text;
    if (format != nullptr) {
      va_list args;
      va_start(args, format);
      text = vformat(format, args);
      va_end(args);
    }
    char buffer[256];
    text += ": ";
    text += strerror_r(system_errno, buffer, sizeof buffer);
    return vorlan_error_construct_error(module, nullptr, VORLAN_ERROR_TYPE_SYSTEM, __FILE__,
                                        __func__, __LINE__, "%s", text.c_str());
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"

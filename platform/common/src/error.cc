// Error objects, their cause chains and the process-wide table that turns them into codes.
#include <cstdlib>
#include <cstring>

#include <climits>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include <vorlan/vorlan_common.h>

#include "error_internal.h"

struct vorlan_object_s {
  int type = 0;
  vorlan_object_t *cause = nullptr;
  const vorlan_module_descriptor_t *module = nullptr;
  std::string source_file;
  std::string source_func;
  int source_line = 0;
  std::string long_desc;
  std::string payload_kind;
  void *payload = nullptr;
  vorlan_error_payload_free_t free_payload = nullptr;
};

namespace {

struct ErrorTable {
  std::mutex mutex;
  std::unordered_map<vorlan_result_t, vorlan_object_t *> objects;
  vorlan_result_t next_code = 1;
};

// Never destroyed: worker threads may still put or release errors while the process exits.
ErrorTable &error_table() {
  static auto *table = new ErrorTable;
  return *table;
}

void free_one(vorlan_object_t *object) {
  if (object->free_payload != nullptr && object->payload != nullptr) {
    object->free_payload(object->payload);
  }
  delete object;
}

char *malloc_copy(const std::string &text) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text.c_str(), text.size() + 1);
  }
  return copy;
}

void append_line(std::string &out, const std::string &line) {
  if (!out.empty()) {
    out += '\n';
  }
  out += line;
}

}  // namespace

namespace vorlan::common {

std::string vformat(const char *format, va_list args) {
  va_list probe;
  va_copy(probe, args);
  int length = vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<size_t>(length), '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

vorlan_result_t fail(const char *source_file, const char *source_func, int source_line,
                     const char *format, ...) {
  try {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return vorlan_error_put(vorlan_error_construct_error(nullptr, nullptr, kRuntimeErrorType,
                                                         source_file, source_func, source_line,
                                                         "%s", text.c_str()));
  } catch (...) {
    return VORLAN_FAILURE;
  }
}

}  // namespace vorlan::common

extern "C" {

vorlan_object_t *vorlan_error_construct_error(const vorlan_module_descriptor_t *module,
                                              vorlan_object_t *cause, int type,
                                              const char *source_file, const char *source_func,
                                              int source_line, const char *format, ...) {
  try {
    auto *error = new vorlan_object_t;
    error->type = type;
    error->module = module;
    error->source_file = source_file != nullptr ? source_file : "";
    error->source_func = source_func != nullptr ? source_func : "";
    error->source_line = source_line;
    if (format != nullptr) {
      va_list args;
      va_start(args, format);
      try {
        error->long_desc = vorlan::common::vformat(format, args);
      } catch (...) {
        va_end(args);
        delete error;
        throw;
      }
      va_end(args);
    }
    // Ownership of the cause passes only once the new object exists.
    error->cause = cause;
    return error;
  } catch (...) {
    vorlan_object_free(cause);
    return nullptr;
  }
}

vorlan_result_t vorlan_error_put(vorlan_object_t *error) {
  if (error == nullptr) {
    return VORLAN_FAILURE;
  }
  try {
    ErrorTable &table = error_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    // Codes count up and wrap; a code still in use after a wrap is skipped.
    for (;;) {
      vorlan_result_t code = table.next_code;
      table.next_code = code == INT32_MAX ? 1 : code + 1;
      if (table.objects.emplace(code, error).second) {
        return code;
      }
    }
  } catch (...) {
    vorlan_object_free(error);
    return VORLAN_FAILURE;
  }
}

vorlan_object_t *vorlan_error_peek(vorlan_result_t result) {
  if (result == VORLAN_SUCCESS) {
    return nullptr;
  }
  ErrorTable &table = error_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(result);
  return found == table.objects.end() ? nullptr : found->second;
}

vorlan_object_t *vorlan_error_get(vorlan_result_t result) {
  if (result == VORLAN_SUCCESS) {
    return nullptr;
  }
  ErrorTable &table = error_table();
  std::lock_guard<std::mutex> lock(table.mutex);
  auto found = table.objects.find(result);
  if (found == table.objects.end()) {
    return nullptr;
  }
  vorlan_object_t *error = found->second;
  table.objects.erase(found);
  return error;
}

void vorlan_error_release(vorlan_result_t result) { vorlan_object_free(vorlan_error_get(result)); }

void vorlan_object_free(vorlan_object_t *object) {
  // Iterative, so a long cause chain cannot exhaust the stack.
  while (object != nullptr) {
    vorlan_object_t *cause = object->cause;
    free_one(object);
    object = cause;
  }
}

int vorlan_error_get_type(const vorlan_object_t *error) {
  return error != nullptr ? error->type : 0;
}

vorlan_object_t *vorlan_error_get_cause(const vorlan_object_t *error) {
  return error != nullptr ? error->cause : nullptr;
}

const vorlan_module_descriptor_t *vorlan_error_get_module(const vorlan_object_t *error) {
  return error != nullptr ? error->module : nullptr;
}

const char *vorlan_error_get_long_desc(const vorlan_object_t *error) {
  return error != nullptr ? error->long_desc.c_str() : nullptr;
}

const char *vorlan_error_get_source_file(const vorlan_object_t *error) {
  return error != nullptr ? error->source_file.c_str() : nullptr;
}

const char *vorlan_error_get_source_func(const vorlan_object_t *error) {
  return error != nullptr ? error->source_func.c_str() : nullptr;
}

int vorlan_error_get_source_line(const vorlan_object_t *error) {
  return error != nullptr ? error->source_line : 0;
}

char *vorlan_error_print_friendly(const vorlan_object_t *error) {
  if (error == nullptr) {
    return nullptr;
  }
  try {
    std::string text;
    for (; error != nullptr; error = error->cause) {
      if (!error->long_desc.empty()) {
        append_line(text, error->long_desc);
      }
    }
    return malloc_copy(text);
  } catch (...) {
    return nullptr;
  }
}

void vorlan_error_set_payload(vorlan_object_t *error, const char *kind, void *payload,
                              vorlan_error_payload_free_t free_payload) {
  if (error == nullptr) {
    if (free_payload != nullptr && payload != nullptr) {
      free_payload(payload);
    }
    return;
  }
  try {
    std::string new_kind = kind != nullptr ? kind : "";
    if (error->free_payload != nullptr && error->payload != nullptr && error->payload != payload) {
      error->free_payload(error->payload);
    }
    error->payload_kind = std::move(new_kind);
    error->payload = payload;
    error->free_payload = free_payload;
  } catch (...) {
    // The object keeps its old payload; the new one has no owner, so it goes now.
    if (free_payload != nullptr && payload != nullptr) {
      free_payload(payload);
    }
  }
}

void *vorlan_error_get_payload(const vorlan_object_t *error, const char *kind) {
  if (error == nullptr || kind == nullptr || error->payload == nullptr) {
    return nullptr;
  }
  return error->payload_kind == kind ? error->payload : nullptr;
}

}  // extern "C"

// Debug log settings from an environment variable: LEVELS[,OUTPUT[,FLAGS[,TIMESTAMP_LEVELS]]].
#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <vorlan/vorlan_common.h>

#include "error_internal.h"

namespace {

constexpr size_t kMaxFields = 4;
constexpr size_t kMaxLevels = 32;

std::string_view trim(std::string_view text) {
  const char *blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) {
    return {};
  }
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      parts.push_back(trim(text.substr(start)));
      return parts;
    }
    parts.push_back(trim(text.substr(start, end - start)));
    start = end + 1;
  }
}

bool same_word(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::vector<std::string> level_name_list(const char *level_names) {
  std::vector<std::string> names;
  if (level_names == nullptr) {
    return names;
  }
  std::string_view rest = level_names;
  while (names.size() < kMaxLevels) {
    size_t first = rest.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(first);
    size_t end = rest.find_first_of(" \t");
    names.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) {
      break;
    }
    rest.remove_prefix(end);
  }
  return names;
}

bool parse_number(std::string_view word, uint32_t &value) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  uint64_t number = 0;
  for (char digit : word) {
    number = number * 10 + static_cast<uint64_t>(digit - '0');
    if (number > UINT32_MAX) {
      return false;
    }
  }
  value = static_cast<uint32_t>(number);
  return true;
}

// Each '|'-joined word is a level name, ALL or a decimal bit set; empty words are ignored.
vorlan_result_t parse_levels(std::string_view field, const std::vector<std::string> &names,
                             const char *env_name, uint32_t &levels) {
  levels = 0;
  if (field.empty()) {
    return VORLAN_SUCCESS;
  }
  const uint32_t all = names.empty()                ? UINT32_MAX
                       : names.size() >= kMaxLevels ? UINT32_MAX
                                                    : (UINT32_C(1) << names.size()) - 1;
  for (std::string_view word : split(field, '|')) {
    if (word.empty()) {
      continue;
    }
    uint32_t number = 0;
    if (parse_number(word, number)) {
      levels |= number;
      continue;
    }
    if (same_word(word, "ALL")) {
      levels |= all;
      continue;
    }
    bool known = false;
    for (size_t bit = 0; bit < names.size(); ++bit) {
      if (same_word(word, names[bit])) {
        levels |= UINT32_C(1) << bit;
        known = true;
        break;
      }
    }
    if (!known) {
      std::string text(word);
      return VORLAN_COMMON_FAIL("Unknown debug level \"%s\" in %s", text.c_str(), env_name);
    }
  }
  return VORLAN_SUCCESS;
}

vorlan_result_t parse_flags(std::string_view field, const char *env_name, int32_t &threads) {
  threads = 0;
  for (std::string_view word : split(field, '|')) {
    if (word.empty()) {
      continue;
    }
    if (same_word(word, "threads")) {
      threads = 1;
      continue;
    }
    std::string text(word);
    return VORLAN_COMMON_FAIL("Unknown debug flag \"%s\" in %s", text.c_str(), env_name);
  }
  return VORLAN_SUCCESS;
}

bool names_stderr(std::string_view output) {
  return output.empty() || output == "-" || output == "stderr";
}

vorlan_result_t parse(const char *env_name, std::string_view value, const char *level_names,
                      vorlan_debug_handle_t &handle) {
  std::vector<std::string_view> fields = split(value, ',');
  if (fields.size() > kMaxFields) {
    return VORLAN_COMMON_FAIL(
        "Too many fields in %s (expected LEVELS[,OUTPUT[,FLAGS[,TIMESTAMP_LEVELS]]])", env_name);
  }
  fields.resize(kMaxFields);
  const std::vector<std::string> names = level_name_list(level_names);

  vorlan_debug_handle_t parsed{};
  vorlan_result_t result = parse_levels(fields[0], names, env_name, parsed.levels);
  if (result == VORLAN_SUCCESS) {
    result = parse_flags(fields[2], env_name, parsed.show_thread_ids);
  }
  if (result == VORLAN_SUCCESS) {
    result = parse_levels(fields[3], names, env_name, parsed.timestamp_levels);
  }
  if (result != VORLAN_SUCCESS) {
    return result;
  }

  // Opened last, so a setting with a bad word creates no file.
  if (names_stderr(fields[1])) {
    parsed.output = stderr;
  } else {
    std::string path(fields[1]);
    FILE *file = fopen(path.c_str(), "a");
    if (file == nullptr) {
      int error = errno;
      return VORLAN_COMMON_FAIL("Cannot open debug log file \"%s\" named by %s: %s", path.c_str(),
                                env_name, strerror(error));
    }
    // Whole lines reach the file even if the process dies between writes.
    setvbuf(file, nullptr, _IOLBF, 0);
    parsed.output = file;
    parsed.owns_output = 1;
  }
  handle = parsed;
  return VORLAN_SUCCESS;
}

}  // namespace

extern "C" {

vorlan_result_t vorlan_debug_init(const char *env_name, const char *level_names,
                                  vorlan_debug_handle_t *handle) {
  if (handle == nullptr) {
    return VORLAN_COMMON_FAIL("No debug handle to initialise");
  }
  *handle = vorlan_debug_handle_t{};
  if (env_name == nullptr) {
    return VORLAN_COMMON_FAIL("No environment variable named for the debug log");
  }
  try {
    const char *value = getenv(env_name);
    if (value == nullptr || trim(value).empty()) {
      return VORLAN_SUCCESS;
    }
    return parse(env_name, trim(value), level_names, *handle);
  } catch (...) {
    *handle = vorlan_debug_handle_t{};
    return VORLAN_FAILURE;
  }
}

}  // extern "C"

// Path templates: "${sysconfdir}" and nothing else.
#include <cstdlib>
#include <cstring>

#include <mutex>
#include <optional>
#include <string>

#include <vorlan/vorlan_common.h>

#include "error_internal.h"

#ifndef VORLAN_SYSCONFDIR
#define VORLAN_SYSCONFDIR "/etc"
#endif

namespace {

std::mutex sysconfdir_mutex;
std::optional<std::string> sysconfdir_override;

// The process override, else the environment (when set and not empty), else the install's.
std::string sysconfdir() {
  {
    std::lock_guard<std::mutex> lock(sysconfdir_mutex);
    if (sysconfdir_override) {
      return *sysconfdir_override;
    }
  }
  const char *from_env = getenv("VORLAN_SYSCONFDIR");
  if (from_env != nullptr && from_env[0] != '\0') {
    return from_env;
  }
  return VORLAN_SYSCONFDIR;
}

vorlan_result_t expand(const char *path_template, std::string &out) {
  const std::string source = path_template;
  size_t pos = 0;
  while (pos < source.size()) {
    size_t start = source.find("${", pos);
    if (start == std::string::npos) {
      out.append(source, pos, std::string::npos);
      break;
    }
    out.append(source, pos, start - pos);
    size_t end = source.find('}', start + 2);
    if (end == std::string::npos) {
      return VORLAN_COMMON_FAIL("Unterminated \"${\" in path template \"%s\"", path_template);
    }
    std::string name = source.substr(start + 2, end - start - 2);
    if (name != "sysconfdir") {
      return VORLAN_COMMON_FAIL("Unknown variable \"${%s}\" in path template \"%s\"", name.c_str(),
                                path_template);
    }
    out += sysconfdir();
    pos = end + 1;
  }
  return VORLAN_SUCCESS;
}

}  // namespace

extern "C" {

vorlan_result_t vorlan_eval_path(const char *path_template, char **path) {
  if (path == nullptr) {
    return VORLAN_COMMON_FAIL("No place to store the expanded path");
  }
  *path = nullptr;
  if (path_template == nullptr) {
    return VORLAN_COMMON_FAIL("No path template to expand");
  }
  try {
    std::string expanded;
    vorlan_result_t result = expand(path_template, expanded);
    if (result != VORLAN_SUCCESS) {
      return result;
    }
    *path = strdup(expanded.c_str());
    return *path != nullptr ? VORLAN_SUCCESS : VORLAN_FAILURE;
  } catch (...) {
    return VORLAN_FAILURE;
  }
}

void vorlan_set_sysconfdir(const char *dir) {
  try {
    std::lock_guard<std::mutex> lock(sysconfdir_mutex);
    if (dir != nullptr) {
      sysconfdir_override = dir;
    } else {
      sysconfdir_override.reset();
    }
  } catch (...) {
    // Out of memory: the previous directory stays in force.
  }
}

}  // extern "C"

// Path templates: "${sysconfdir}" and nothing else.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include <mutex>
#include <optional>
#include <string>

#include <vorlan/vorlan_common.h>

#include "error_internal.h"

// What the build was configured with: the full sysconfdir, and the sysconfdir and the directory
// this library installs to as given to the install (relative ones lie under the install prefix).
#ifndef VORLAN_SYSCONFDIR
#define VORLAN_SYSCONFDIR "/etc"
#endif
#ifndef VORLAN_INSTALL_SYSCONFDIR
#define VORLAN_INSTALL_SYSCONFDIR "/etc"
#endif
#ifndef VORLAN_INSTALL_LIBDIR
#define VORLAN_INSTALL_LIBDIR "lib"
#endif

namespace {

std::mutex sysconfdir_mutex;
std::optional<std::string> sysconfdir_override;

// The install prefix this library was installed to, wherever that is now: its own directory
// less the library directory. Nothing when it runs from elsewhere (the build tree).
std::optional<std::string> installed_prefix() {
  const std::string libdir = VORLAN_INSTALL_LIBDIR;
  Dl_info info{};
  if (libdir.empty() || libdir.front() == '/' ||
      dladdr(reinterpret_cast<void *>(&vorlan_eval_path), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::nullopt;
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) {
    return std::nullopt;
  }
  std::string dir = resolved;
  dir.erase(dir.rfind('/'));
  const std::string suffix = "/" + libdir;
  if (!dir.ends_with(suffix)) {
    return std::nullopt;
  }
  dir.erase(dir.size() - suffix.size());
  return dir;
}

// An installed library reads the configuration of the prefix it lies in, so an installation
// can move (a package, `cmake --install --prefix`); the prefix gets its sysconfdir the way
// GNUInstallDirs gives it: /etc for / and /usr, /etc/opt/NAME for /opt/NAME, else PREFIX/etc.
// An absolute sysconfdir, or a library outside an installation, keeps the configured one.
std::string default_sysconfdir() {
  const std::string relative = VORLAN_INSTALL_SYSCONFDIR;
  std::optional<std::string> prefix;
  if (relative.empty() || relative.front() == '/' || !(prefix = installed_prefix())) {
    return VORLAN_SYSCONFDIR;
  }
  if (prefix->empty() || *prefix == "/usr") {
    return "/" + relative;
  }
  if (prefix->starts_with("/opt/")) {
    return "/" + relative + *prefix;
  }
  return *prefix + "/" + relative;
}

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
  return default_sysconfdir();
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

// The extension registries: name -> (module, data), shared by every thread of the server.
#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include <vorlan/vorlan_gridftp_server.h>

namespace {

struct RegistryEntry {
  vorlan_module_descriptor_t *module;
  void *data;
};
using RegistryEntries = std::map<std::string, RegistryEntry>;

// One lock for every registry: entries are created lazily, so a zero-initialised registry
// needs no set-up of its own.
std::mutex &registry_mutex() {
  static auto *mutex = new std::mutex;
  return *mutex;
}

// The data under `symbol`, or null; with `take` the entry leaves the registry.
void *find_entry(vorlan_extension_registry_t *registry, const char *symbol, bool take) {
  if (registry == nullptr || symbol == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(registry_mutex());
  auto *entries = static_cast<RegistryEntries *>(registry->entries);
  if (entries == nullptr) {
    return nullptr;
  }
  auto it = entries->find(symbol);
  if (it == entries->end()) {
    return nullptr;
  }
  void *data = it->second.data;
  if (take) {
    entries->erase(it);
  }
  if (entries->empty()) {
    delete entries;
    registry->entries = nullptr;
  }
  return data;
}

}  // namespace

extern "C" {

vorlan_extension_registry_t vorlan_i_gfs_dsi_registry = {nullptr};

vorlan_result_t vorlan_extension_registry_add(vorlan_extension_registry_t *registry,
                                              const char *symbol,
                                              vorlan_module_descriptor_t *module, void *data) {
  if (registry == nullptr || symbol == nullptr) {
    return vorlan_error_put(vorlan_i_gfs_error_system(
        nullptr, EINVAL, "Cannot register extension \"%s\"", symbol != nullptr ? symbol : ""));
  }
  try {
    std::lock_guard<std::mutex> lock(registry_mutex());
    if (registry->entries == nullptr) {
      registry->entries = new RegistryEntries;
    }
    auto *entries = static_cast<RegistryEntries *>(registry->entries);
    if (!entries->emplace(symbol, RegistryEntry{module, data}).second) {
      return vorlan_error_put(vorlan_i_gfs_error_system(
          nullptr, EEXIST, "Extension \"%s\" is already registered", symbol));
    }
    return VORLAN_SUCCESS;
  } catch (...) {
    return vorlan_error_put(
        vorlan_i_gfs_error_system(nullptr, ENOMEM, "Cannot register extension \"%s\"", symbol));
  }
}

void *vorlan_extension_registry_remove(vorlan_extension_registry_t *registry, const char *symbol) {
  return find_entry(registry, symbol, true);
}

void *vorlan_extension_registry_lookup(vorlan_extension_registry_t *registry, const char *symbol) {
  return find_entry(registry, symbol, false);
}

}  // extern "C"

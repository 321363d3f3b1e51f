// Reference-counted module activation.
#include <map>
#include <mutex>

#include <vorlan/vorlan_common.h>

namespace {

// Recursive: an activation function may itself activate the modules it builds on. Holding the
// lock across the call also makes a concurrent activation wait until the first one is done.
struct ModuleRegistry {
  std::recursive_mutex mutex;
  std::map<const vorlan_module_descriptor_t *, int> counts;
};

ModuleRegistry &module_registry() {
  static auto *registry = new ModuleRegistry;
  return *registry;
}

}  // namespace

extern "C" {

vorlan_result_t vorlan_module_activate(vorlan_module_descriptor_t *module) {
  if (module == nullptr) {
    return VORLAN_FAILURE;
  }
  try {
    ModuleRegistry &registry = module_registry();
    std::lock_guard<std::recursive_mutex> lock(registry.mutex);
    auto found = registry.counts.find(module);
    if (found != registry.counts.end()) {
      ++found->second;
      return VORLAN_SUCCESS;
    }
    vorlan_result_t result =
        module->activation_func != nullptr ? module->activation_func() : VORLAN_SUCCESS;
    if (result == VORLAN_SUCCESS) {
      registry.counts[module] = 1;
    }
    return result;
  } catch (...) {
    return VORLAN_FAILURE;
  }
}

vorlan_result_t vorlan_module_deactivate(vorlan_module_descriptor_t *module) {
  if (module == nullptr) {
    return VORLAN_FAILURE;
  }
  ModuleRegistry &registry = module_registry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  auto found = registry.counts.find(module);
  if (found == registry.counts.end()) {
    return VORLAN_FAILURE;
  }
  if (--found->second > 0) {
    return VORLAN_SUCCESS;
  }
  // The module counts as inactive from here on, whatever its deactivation reports.
  registry.counts.erase(found);
  return module->deactivation_func != nullptr ? module->deactivation_func() : VORLAN_SUCCESS;
}

int vorlan_module_activation_count(const vorlan_module_descriptor_t *module) {
  ModuleRegistry &registry = module_registry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  auto found = registry.counts.find(module);
  return found == registry.counts.end() ? 0 : found->second;
}

}  // extern "C"

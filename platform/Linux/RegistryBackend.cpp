#include <cstdlib>

#include "platform/Registry.h"

// On Linux the registry is the file store.
namespace Platform {

std::string RegistryFilePath() {
  const char* env = std::getenv("OVANTA_REGISTRY");
  if (env && *env) return env;
  return "/var/lib/ovanta/registry.ini";
}

std::optional<std::string> ReadStoredValue(int root, const std::string& keyPath, const std::string& name) {
  return RegistryStore().Read(root, keyPath, name);
}

bool WriteStoredString(int root, const std::string& keyPath, const std::string& name, const std::string& value) {
  return RegistryStore().Write(root, keyPath, name, value);
}

bool WriteStoredDword(int root, const std::string& keyPath, const std::string& name, uint32_t value) {
  return RegistryStore().Write(root, keyPath, name, std::to_string(value));
}

std::vector<std::string> StoredValueNames(int root, const std::string& keyPath) {
  return RegistryStore().Names(root, keyPath);
}

}  // namespace Platform

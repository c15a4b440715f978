#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The registry store: an INI file with sections "[HKEY_LM\key\path]" (also HKEY_CU, HKEY_CR)
// and "name=value" lines; numbers are decimal text. Section and value names compare without
// regard to case, as registry names do. The file is rewritten atomically (and synced) under a
// lock on "<file>.lock".

namespace Platform {

enum RegistryRoot : int { kLocalMachine = 0, kCurrentUser = 1, kClassesRoot = 2 };

// The file store named by the environment variable OVANTA_REGISTRY, else on Linux
// "/var/lib/ovanta/registry.ini"; on Windows empty without the variable: the system registry.
std::string RegistryFilePath();

class RegistryStore {
 public:
  explicit RegistryStore(std::string path = RegistryFilePath());

  // The value text, or nothing when the file, the key or the value is missing or unreadable.
  std::optional<std::string> Read(int root, const std::string& keyPath, const std::string& name) const;
  // False when the value cannot be stored (a line break in it, a store that cannot be locked
  // or written); error, when given, then says why. A store that cannot be locked is left as
  // it is. The new file is on disk when this returns true.
  bool Write(int root, const std::string& keyPath, const std::string& name, const std::string& value,
             std::string* error = nullptr) const;
  // The names of the values under the key, in the order the file holds them.
  std::vector<std::string> Names(int root, const std::string& keyPath) const;

  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// The store the registry functions below read and write: on Linux the file store; on Windows
// the system registry (DWORD values as REG_DWORD, strings as REG_SZ), or the file store when
// OVANTA_REGISTRY names one. A value reads as text (a DWORD as its decimal digits).
std::optional<std::string> ReadStoredValue(int root, const std::string& keyPath, const std::string& name);
bool WriteStoredString(int root, const std::string& keyPath, const std::string& name, const std::string& value);
bool WriteStoredDword(int root, const std::string& keyPath, const std::string& name, uint32_t value);
// The names of the values stored under the key (none when it is missing).
std::vector<std::string> StoredValueNames(int root, const std::string& keyPath);

}  // namespace Platform

// The store argument that means the registry itself; any other store name is appended to the
// key path as one more component.
inline constexpr const char* kRegistryStoreName = "com.vantrel.Registry";

// Applies the key rules: the store name component, forward slashes to backslashes, no leading
// or trailing backslashes.
std::string RegistryKeyPath(const std::string& keyPath, const std::string& store);

uint32_t ReadRegistryDword(int root, const std::string& keyPath, const std::string& valueName, uint32_t defaultValue,
                           const std::string& store);
std::string ReadRegistryString(int root, const std::string& keyPath, const std::string& valueName,
                               const std::string& defaultValue, const std::string& store);
bool WriteRegistryDword(int root, const std::string& keyPath, const std::string& valueName, uint32_t value,
                        const std::string& store);
bool WriteRegistryString(int root, const std::string& keyPath, const std::string& valueName, const std::string& value,
                         const std::string& store);

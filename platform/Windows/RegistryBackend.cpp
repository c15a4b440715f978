#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/Registry.h"
#include "platform/Windows/WideText.h"

// On Windows the registry is the system's; OVANTA_REGISTRY names a file store to use instead
// (tests, and a service run from a folder without touching the machine's registry).
namespace Platform {
namespace {

HKEY RootKey(int root) {
  switch (root) {
    case kCurrentUser:
      return HKEY_CURRENT_USER;
    case kClassesRoot:
      return HKEY_CLASSES_ROOT;
    default:
      return HKEY_LOCAL_MACHINE;
  }
}

// The 64-bit view, whatever the process: the service's keys are the same for every build.
constexpr REGSAM kView = KEY_WOW64_64KEY;

bool FileStore() { return !RegistryFilePath().empty(); }

class OpenKey {
 public:
  OpenKey(int root, const std::string& keyPath, bool create) {
    const std::wstring path = Widen(keyPath);
    const LSTATUS rc = create ? ::RegCreateKeyExW(RootKey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                  KEY_SET_VALUE | kView, nullptr, &m_key, nullptr)
                              : ::RegOpenKeyExW(RootKey(root), path.c_str(), 0, KEY_QUERY_VALUE | kView, &m_key);
    if (rc != ERROR_SUCCESS) m_key = nullptr;
  }
  ~OpenKey() {
    if (m_key) ::RegCloseKey(m_key);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY Key() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

bool SetValue(int root, const std::string& keyPath, const std::string& name, DWORD type, const void* data, DWORD size) {
  const OpenKey key(root, keyPath, true);
  return key.Key() && ::RegSetValueExW(key.Key(), Widen(name).c_str(), 0, type, static_cast<const BYTE*>(data), size) ==
                          ERROR_SUCCESS;
}

// The text with its %variables% replaced by the environment's values, as the system reads a
// REG_EXPAND_SZ value (%ProgramData%\Ovanta\hw.log); a variable that is not set stays as
// written, and so does the whole text when it cannot be expanded.
std::wstring Expanded(const std::wstring& text) {
  std::wstring expanded(text.size() + 1, L'\0');
  for (;;) {
    const DWORD n = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (n == 0) return text;
    if (n <= expanded.size()) {
      expanded.resize(n - 1);  // n counts the terminator
      return expanded;
    }
    expanded.resize(n);
  }
}

}  // namespace

std::string RegistryFilePath() {
  const char* env = std::getenv("OVANTA_REGISTRY");
  return env && *env ? env : "";
}

std::optional<std::string> ReadStoredValue(int root, const std::string& keyPath, const std::string& name) {
  if (FileStore()) return RegistryStore().Read(root, keyPath, name);
  const OpenKey key(root, keyPath, false);
  if (!key.Key()) return std::nullopt;
  const std::wstring valueName = Widen(name);
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key.Key(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  std::vector<BYTE> data(size + sizeof(wchar_t));
  if (::RegQueryValueExW(key.Key(), valueName.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD value = 0;
    memcpy(&value, data.data(), sizeof value);
    return std::to_string(value);
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  // The stored text may or may not end in its terminator.
  std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return Narrow(type == REG_EXPAND_SZ ? Expanded(text) : text);
}

bool WriteStoredString(int root, const std::string& keyPath, const std::string& name, const std::string& value) {
  if (FileStore()) return RegistryStore().Write(root, keyPath, name, value);
  const std::wstring text = Widen(value);
  return SetValue(root, keyPath, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool WriteStoredDword(int root, const std::string& keyPath, const std::string& name, uint32_t value) {
  if (FileStore()) return RegistryStore().Write(root, keyPath, name, std::to_string(value));
  const DWORD dword = value;
  return SetValue(root, keyPath, name, REG_DWORD, &dword, sizeof dword);
}

std::vector<std::string> StoredValueNames(int root, const std::string& keyPath) {
  if (FileStore()) return RegistryStore().Names(root, keyPath);
  std::vector<std::string> names;
  const OpenKey key(root, keyPath, false);
  if (!key.Key()) return names;
  // Value names are at most 16,383 characters.
  std::vector<wchar_t> name(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LSTATUS rc = ::RegEnumValueW(key.Key(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS || rc != ERROR_SUCCESS) break;
    names.push_back(Narrow(std::wstring(name.data(), length)));
  }
  return names;
}

}  // namespace Platform

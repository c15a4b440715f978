#include "platform/Registry.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace Platform {
namespace {

const char* RootName(int root) {
  switch (root) {
    case kCurrentUser:
      return "HKEY_CU";
    case kClassesRoot:
      return "HKEY_CR";
    default:
      return "HKEY_LM";
  }
}

std::string SectionName(int root, const std::string& keyPath) { return std::string(RootName(root)) + "\\" + keyPath; }

bool SameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// Section header name of a line "[name]", or nothing.
std::optional<std::string> SectionOf(const std::string& line) {
  const std::string t = Trim(line);
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') return t.substr(1, t.size() - 2);
  return std::nullopt;
}

// A lock on a companion file, so that readers of the store never see a half-written file
// and two writers never lose each other's values.
class StoreLock {
 public:
  StoreLock(const std::string& path, int operation) {
    m_fd = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd >= 0) flock(m_fd, operation);
  }
  ~StoreLock() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Held() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace

std::string RegistryFilePath() {
  const char* env = std::getenv("OVANTA_REGISTRY");
  if (env && *env) return env;
  return "/var/lib/ovanta/registry.ini";
}

RegistryStore::RegistryStore(std::string path) : m_path(std::move(path)) {}

std::optional<std::string> RegistryStore::Read(int root, const std::string& keyPath, const std::string& name) const {
  // Reads need no lock: the file is only ever replaced whole by rename.
  const std::string section = SectionName(root, keyPath);
  bool inSection = false;
  for (const std::string& line : ReadLines(m_path)) {
    if (auto s = SectionOf(line)) {
      inSection = SameName(*s, section);
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (SameName(Trim(line.substr(0, eq)), name)) return Trim(line.substr(eq + 1));
  }
  return std::nullopt;
}

bool RegistryStore::Write(int root, const std::string& keyPath, const std::string& name,
                          const std::string& value) const {
  if (value.find_first_of("\r\n") != std::string::npos || name.find_first_of("=\r\n[]") != std::string::npos)
    return false;
  std::error_code ec;
  const std::filesystem::path file(m_path);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);

  StoreLock lock(m_path, LOCK_EX);
  if (!lock.Held()) return false;

  std::vector<std::string> lines = ReadLines(m_path);
  const std::string section = SectionName(root, keyPath);
  const std::string entry = name + "=" + value;
  bool inSection = false, done = false;
  size_t sectionEnd = std::string::npos;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (auto s = SectionOf(lines[i])) {
      if (inSection) break;
      inSection = SameName(*s, section);
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    const size_t eq = lines[i].find('=');
    if (eq != std::string::npos && SameName(Trim(lines[i].substr(0, eq)), name)) {
      lines[i] = entry;
      done = true;
    } else if (!Trim(lines[i]).empty()) {
      sectionEnd = i + 1;
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      if (!lines.empty() && !Trim(lines.back()).empty()) lines.push_back("");
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + static_cast<long>(sectionEnd), entry);
    }
  }

  const std::string temp = m_path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    for (const std::string& l : lines) out << l << '\n';
    out.flush();
    if (!out) return false;
  }
  if (std::rename(temp.c_str(), m_path.c_str()) != 0) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace Platform

namespace {
// Forward slashes to backslashes, no leading or trailing backslashes.
std::string NormalisedKeyPath(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  const size_t b = path.find_first_not_of('\\');
  if (b == std::string::npos) return "";
  const size_t e = path.find_last_not_of('\\');
  return path.substr(b, e - b + 1);
}
}  // namespace

std::string RegistryKeyPath(const std::string& keyPath, const std::string& store) {
  // The key path is normalised before the store is appended, so that a key given with a
  // trailing backslash names the same store key as one without.
  if (store == kRegistryStoreName || store.empty()) return NormalisedKeyPath(keyPath);
  return NormalisedKeyPath(NormalisedKeyPath(keyPath) + "\\" + store);
}

namespace {
std::optional<uint32_t> ParseDword(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}
}  // namespace

namespace {
// A store name selects the key "path\store"; a value not found there is also looked for
// under the plain key, where an administrator editing the store by hand would put it.
std::optional<std::string> ReadValue(int root, const std::string& keyPath, const std::string& valueName,
                                     const std::string& store) {
  const Platform::RegistryStore registry;
  auto text = registry.Read(root, RegistryKeyPath(keyPath, store), valueName);
  if (!text && store != kRegistryStoreName)
    text = registry.Read(root, RegistryKeyPath(keyPath, kRegistryStoreName), valueName);
  return text;
}
}  // namespace

uint32_t ReadRegistryDword(int root, const std::string& keyPath, const std::string& valueName, uint32_t defaultValue,
                           const std::string& store) {
  const auto text = ReadValue(root, keyPath, valueName, store);
  if (!text) return defaultValue;
  return ParseDword(*text).value_or(defaultValue);
}

std::string ReadRegistryString(int root, const std::string& keyPath, const std::string& valueName,
                               const std::string& defaultValue, const std::string& store) {
  return ReadValue(root, keyPath, valueName, store).value_or(defaultValue);
}

bool WriteRegistryDword(int root, const std::string& keyPath, const std::string& valueName, uint32_t value,
                        const std::string& store) {
  return Platform::RegistryStore().Write(root, RegistryKeyPath(keyPath, store), valueName, std::to_string(value));
}

bool WriteRegistryString(int root, const std::string& keyPath, const std::string& valueName, const std::string& value,
                         const std::string& store) {
  return Platform::RegistryStore().Write(root, RegistryKeyPath(keyPath, store), valueName, value);
}

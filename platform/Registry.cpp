#include "platform/Registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/FileLock.h"
#include "platform/FilePath.h"

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

// Registry names compare without regard to (ASCII) case.
bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

// The store's lines. A missing file is an empty store; false (with the reason) when the file
// is there but cannot be read, so that a writer never replaces a store it could not read.
bool ReadLines(const std::string& path, std::vector<std::string>& lines, std::string& error) {
  lines.clear();
  // The path is UTF-8 (Windows would read a plain char path in its code page).
  const std::filesystem::path file = Utf8Path(path);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec) && !ec) return true;
  if (std::filesystem::is_directory(file, ec)) {
    error = "cannot read " + path + ": it is a directory";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

// A comment line: its first character other than a blank is ';' or '#'. It holds no value,
// even with a '=' in it (a commented-out setting).
bool IsComment(const std::string& line) {
  const std::string t = Trim(line);
  return !t.empty() && (t[0] == ';' || t[0] == '#');
}

// Section header name of a line "[name]", or nothing.
std::optional<std::string> SectionOf(const std::string& line) {
  const std::string t = Trim(line);
  if (t.size() >= 2 && t.front() == '[' && t.back() == ']') return t.substr(1, t.size() - 2);
  return std::nullopt;
}

}  // namespace

RegistryStore::RegistryStore(std::string path) : m_path(std::move(path)) {}

std::optional<std::string> RegistryStore::Read(int root, const std::string& keyPath, const std::string& name) const {
  // Reads need no lock: the file is only ever replaced whole by rename.
  const std::string section = SectionName(root, keyPath);
  bool inSection = false;
  std::vector<std::string> lines;
  std::string error;
  if (!ReadLines(m_path, lines, error)) return std::nullopt;
  for (const std::string& line : lines) {
    if (auto s = SectionOf(line)) {
      inSection = SameName(*s, section);
      continue;
    }
    if (!inSection || IsComment(line)) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (SameName(Trim(line.substr(0, eq)), name)) return Trim(line.substr(eq + 1));
  }
  return std::nullopt;
}

std::vector<std::string> RegistryStore::Names(int root, const std::string& keyPath) const {
  const std::string section = SectionName(root, keyPath);
  std::vector<std::string> lines, names;
  std::string error;
  if (!ReadLines(m_path, lines, error)) return names;
  bool inSection = false;
  for (const std::string& line : lines) {
    if (auto s = SectionOf(line)) {
      inSection = SameName(*s, section);
      continue;
    }
    const size_t eq = line.find('=');
    if (inSection && !IsComment(line) && eq != std::string::npos) names.push_back(Trim(line.substr(0, eq)));
  }
  return names;
}

bool RegistryStore::Write(int root, const std::string& keyPath, const std::string& name, const std::string& value,
                          std::string* error) const {
  std::string ignored;
  std::string& reason = error ? *error : ignored;
  if (value.find_first_of("\r\n") != std::string::npos || name.find_first_of("=\r\n[]") != std::string::npos) {
    reason = "a line break in the value, or a character the store cannot keep in the name";
    return false;
  }
  std::error_code ec;
  const std::filesystem::path file = Utf8Path(m_path);
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);

  // Without the lock (on a companion file, so that readers never wait) another writer could
  // replace the file between our read and our write and one of the two values would be lost:
  // nothing is written then.
  FileLock lock(m_path + ".lock");
  if (!lock.Held()) {
    reason = lock.Error();
    return false;
  }

  std::vector<std::string> lines;
  if (!ReadLines(m_path, lines, reason)) return false;
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
    if (eq != std::string::npos && !IsComment(lines[i]) && SameName(Trim(lines[i].substr(0, eq)), name)) {
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

  std::string text;
  for (const std::string& l : lines) text += l + '\n';
  return ReplaceFileAtomically(m_path, text, reason);
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
  auto text = Platform::ReadStoredValue(root, RegistryKeyPath(keyPath, store), valueName);
  if (!text && store != kRegistryStoreName)
    text = Platform::ReadStoredValue(root, RegistryKeyPath(keyPath, kRegistryStoreName), valueName);
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
  return Platform::WriteStoredDword(root, RegistryKeyPath(keyPath, store), valueName, value);
}

bool WriteRegistryString(int root, const std::string& keyPath, const std::string& valueName, const std::string& value,
                         const std::string& store) {
  return Platform::WriteStoredString(root, RegistryKeyPath(keyPath, store), valueName, value);
}

#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// A temporary directory removed with the test.
class TempDir {
 public:
  TempDir() : m_path((std::filesystem::temp_directory_path() / "ovanta-test-XXXXXX").string()) {
    mkdtemp(m_path.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  std::string File(const std::string& name) const { return (std::filesystem::path(m_path) / name).string(); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Lines of a CRLF-terminated log.
inline std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(path);
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// Points the registry store at a file for the life of the object.
class ScopedRegistry {
 public:
  explicit ScopedRegistry(const std::string& path) {
    if (const char* old = std::getenv("OVANTA_REGISTRY")) m_old = old;
    setenv("OVANTA_REGISTRY", path.c_str(), 1);
  }
  ~ScopedRegistry() { m_old ? setenv("OVANTA_REGISTRY", m_old->c_str(), 1) : unsetenv("OVANTA_REGISTRY"); }

 private:
  std::optional<std::string> m_old;
};

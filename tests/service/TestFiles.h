#pragma once
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// A temporary directory removed with the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovanta-test-XXXXXX").string();
    m_path = mkdtemp(pattern.data());
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
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Lines of a CRLF-terminated log.
inline std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  const std::string text = ReadFile(path);
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// Points the registry store at a file for the life of the object.
class ScopedRegistry {
 public:
  explicit ScopedRegistry(const std::string& path) {
    const char* old = std::getenv("OVANTA_REGISTRY");
    if (old) m_old = old;
    m_hadOld = old != nullptr;
    setenv("OVANTA_REGISTRY", path.c_str(), 1);
  }
  ~ScopedRegistry() {
    if (m_hadOld)
      setenv("OVANTA_REGISTRY", m_old.c_str(), 1);
    else
      unsetenv("OVANTA_REGISTRY");
  }

 private:
  std::string m_old;
  bool m_hadOld = false;
};

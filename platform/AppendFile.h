#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

// A file written only at its end and synced on demand: a journal whose records must survive the
// process (a write that returned is in the system's cache) and, once synced, the machine.
// Appends, syncs and truncations may come from different threads; each is one system call.
class AppendFile {
 public:
  // Opens path for appending, creating it (mode 0600) when missing; null with the reason in
  // error when it cannot be opened for writing.
  static std::unique_ptr<AppendFile> Open(const std::string& path, std::string& error);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Writes bytes at the end, whole; false with the reason when the system refused a part.
  bool Append(const std::string& bytes, std::string& error);
  // The file's data on the disk (what a reader needs of it, not every time stamp).
  bool Sync(std::string& error);
  // Cuts the file back to nothing.
  bool Truncate(std::string& error);
  // Syncs the directory that holds path, so that a file created or renamed there stays.
  static bool SyncDirectoryOf(const std::string& path, std::string& error);

 private:
  explicit AppendFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
  int m_fd;
  std::string m_path;
};

}  // namespace Platform

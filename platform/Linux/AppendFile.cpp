#include "platform/AppendFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/SystemError.h"

namespace Platform {

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = SystemCallFailed("cannot open", path);
    return nullptr;
  }
  return std::unique_ptr<AppendFile>(new AppendFile(fd, path));
}

AppendFile::~AppendFile() { close(m_fd); }

bool AppendFile::Append(const std::string& bytes, std::string& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      error = SystemCallFailed("cannot write", m_path);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool AppendFile::Sync(std::string& error) {
  if (fdatasync(m_fd) == 0) return true;
  error = SystemCallFailed("cannot sync", m_path);
  return false;
}

bool AppendFile::Truncate(std::string& error) {
  if (ftruncate(m_fd, 0) == 0) return true;
  error = SystemCallFailed("cannot truncate", m_path);
  return false;
}

bool AppendFile::SyncDirectoryOf(const std::string& path, std::string& error) {
  const std::filesystem::path target(path);
  const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = SystemCallFailed("cannot open the directory of", path);
    return false;
  }
  const bool synced = fsync(fd) == 0;
  if (!synced) error = SystemCallFailed("cannot sync the directory of", path);
  close(fd);
  return synced;
}

}  // namespace Platform

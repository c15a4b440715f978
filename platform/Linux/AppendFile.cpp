#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/SystemError.h"

// The journal file on a descriptor: pwrite, fdatasync, ftruncate.
namespace Platform {

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, uint64_t end, std::string& error) {
  // Never through a symbolic link: the journal is the file in the spool's own directory.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = SystemCallFailed("cannot open", path);
    return nullptr;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    error = SystemCallFailed("cannot read the size of", path);
    close(fd);
    return nullptr;
  }
  return Ready(fd, path, end, static_cast<uint64_t>(status.st_size), error);
}

AppendFile::~AppendFile() { close(m_fd); }

bool AppendFile::WriteAt(const char* bytes, size_t count, uint64_t offset, std::string& error) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pwrite(m_fd, bytes + done, count - done, static_cast<off_t>(offset + done));
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

bool AppendFile::CutTo(uint64_t size, std::string& error) {
  if (ftruncate(m_fd, static_cast<off_t>(size)) == 0) return true;
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

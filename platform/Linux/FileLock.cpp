#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Platform {

FileLock::FileLock(const std::string& path, Wait wait) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    m_error = "cannot open " + path + ": " + std::strerror(errno);
    return;
  }
  int rc;
  while ((rc = flock(fd, wait == Wait::Try ? LOCK_EX | LOCK_NB : LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    m_elsewhere = errno == EWOULDBLOCK;
    m_error = m_elsewhere ? "another process holds " + path : "cannot lock " + path + ": " + std::strerror(errno);
    close(fd);
    return;
  }
  m_handle = fd;
}

FileLock::~FileLock() {
  if (m_handle != -1) close(static_cast<int>(m_handle));
}

}  // namespace Platform

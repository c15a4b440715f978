#pragma once
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

// A directory no process may create files in, not even root's: immutable where the process may
// set that, read-only by its mode otherwise. Undone when the object goes.
class ReadOnlyDirectory {
 public:
  explicit ReadOnlyDirectory(const std::string& path) : m_path(path) {
    std::filesystem::create_directories(path);
    if (geteuid() == 0) {
      m_immutable = SetFlags(FS_IMMUTABLE_FL);
    } else {
      std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
  }
  ~ReadOnlyDirectory() {
    if (m_immutable) SetFlags(0);
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all);
  }
  const std::string& Path() const { return m_path; }
  bool Made() const { return geteuid() != 0 || m_immutable; }

 private:
  bool SetFlags(int flags) {
    const int fd = open(m_path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int current = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
    current = (current & ~FS_IMMUTABLE_FL) | flags;
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
    close(fd);
    return ok;
  }
  std::string m_path;
  bool m_immutable = false;
};

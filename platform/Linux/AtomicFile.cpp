#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/AppendFile.h"
#include "platform/SystemError.h"

namespace Platform {
namespace {

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error, unsigned mode) {
  const std::filesystem::path target(path);
  const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
  struct stat existing {};
  if (stat(path.c_str(), &existing) == 0) mode = existing.st_mode & 07777;

  std::string temp = (std::filesystem::path(directory) / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = SystemCallFailed("cannot create a temporary file beside", path);
    return false;
  }
  bool ok = true;
  if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    error = SystemCallFailed("cannot set the mode of", temp);
    ok = false;
  } else if (!WriteAll(fd, text)) {
    error = SystemCallFailed("cannot write", temp);
    ok = false;
  } else if (fsync(fd) != 0) {
    error = SystemCallFailed("cannot sync", temp);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    error = SystemCallFailed("cannot close", temp);
    ok = false;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    error = SystemCallFailed("cannot rename over", path);
    ok = false;
  }
  if (!ok) {
    unlink(temp.c_str());
    return false;
  }
  // The rename is durable only once the directory entry is on disk.
  return AppendFile::SyncDirectoryOf(path, error);
}

bool SyncFileData(std::FILE* file) { return fdatasync(fileno(file)) == 0; }

}  // namespace Platform

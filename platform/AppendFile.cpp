#include "platform/AppendFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/SystemError.h"

namespace Platform {
namespace {

// Past this size a journal that starts over is cut back to one segment rather than zeroed whole.
constexpr uint64_t kZeroedAtMost = 4 * AppendFile::kSegmentBytes;
constexpr size_t kZeroChunk = 64 << 10;

uint64_t SegmentsFor(uint64_t bytes) {
  return (bytes + AppendFile::kSegmentBytes - 1) / AppendFile::kSegmentBytes * AppendFile::kSegmentBytes;
}

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, uint64_t end, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
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
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  std::unique_ptr<AppendFile> file(new AppendFile(fd, path, end, std::max(size, end)));
  // The first record's sync is then a data sync like every other.
  const uint64_t ahead = SegmentsFor(end + 1);
  if (file->m_size < ahead && !(file->MakeRoom(ahead - end, error) && file->Sync(error))) return nullptr;
  return file;
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

bool AppendFile::WriteZeros(uint64_t from, uint64_t to, std::string& error) {
  static const char zeros[kZeroChunk] = {};
  for (uint64_t at = from; at < to; at += kZeroChunk)
    if (!WriteAt(zeros, static_cast<size_t>(std::min<uint64_t>(kZeroChunk, to - at)), at, error)) return false;
  return true;
}

bool AppendFile::MakeRoom(uint64_t bytes, std::string& error) {
  if (m_end + bytes <= m_size) return true;
  const uint64_t size = SegmentsFor(m_end + bytes);
  if (!WriteZeros(m_size, size, error)) return false;
  m_size = size;
  return true;
}

bool AppendFile::Append(const std::string& bytes, std::string& error) {
  // The room first: a record is either written whole into space the file has, or not at all.
  if (!MakeRoom(bytes.size(), error) || !WriteAt(bytes.data(), bytes.size(), m_end, error)) return false;
  m_end += bytes.size();
  return true;
}

bool AppendFile::Sync(std::string& error) {
  if (fdatasync(m_fd) == 0) return true;
  error = SystemCallFailed("cannot sync", m_path);
  return false;
}

bool AppendFile::StartOver(std::string& error) {
  if (m_size > kZeroedAtMost) {
    if (ftruncate(m_fd, static_cast<off_t>(kSegmentBytes)) != 0) {
      error = SystemCallFailed("cannot truncate", m_path);
      return false;
    }
    m_size = kSegmentBytes;
  }
  if (!WriteZeros(0, std::min(m_end, m_size), error)) return false;
  m_end = 0;
  return true;
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

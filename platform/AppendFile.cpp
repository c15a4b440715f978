#include "platform/AppendFile.h"

#include <algorithm>

// What a journal file does with its records and the zeros ahead of them, the same on every
// system; the system calls are each system's (Linux/, Windows/).
namespace Platform {
namespace {

// Past this size a journal that starts over is cut back to one segment rather than zeroed whole.
constexpr uint64_t kZeroedAtMost = 4 * AppendFile::kSegmentBytes;
constexpr size_t kZeroChunk = 64 << 10;

uint64_t SegmentsFor(uint64_t bytes) {
  return (bytes + AppendFile::kSegmentBytes - 1) / AppendFile::kSegmentBytes * AppendFile::kSegmentBytes;
}

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Ready(int fd, const std::string& path, uint64_t end, uint64_t size,
                                              std::string& error) {
  std::unique_ptr<AppendFile> file(new AppendFile(fd, path, end, std::max(size, end)));
  // The first record's sync is then a data sync like every other. A disk that cannot take a
  // whole segment leaves the room it took: the records go there, and after it while it takes them.
  const uint64_t ahead = SegmentsFor(end + 1);
  if (file->m_size < ahead) {
    std::string noRoom;
    file->Extend(ahead, noRoom);
    if (!file->Sync(error)) return nullptr;
  }
  return file;
}

bool AppendFile::WriteZeros(uint64_t from, uint64_t to, std::string& error) {
  static const char zeros[kZeroChunk] = {};
  for (uint64_t at = from; at < to; at += kZeroChunk)
    if (!WriteAt(zeros, static_cast<size_t>(std::min<uint64_t>(kZeroChunk, to - at)), at, error)) return false;
  return true;
}

bool AppendFile::Extend(uint64_t size, std::string& error) {
  while (m_size < size) {
    const uint64_t to = std::min<uint64_t>(size, m_size + kZeroChunk);
    if (!WriteZeros(m_size, to, error)) return false;
    m_size = to;
  }
  return true;
}

bool AppendFile::Append(const std::string& bytes, std::string& error) {
  // The room first, so that the record's sync is a data sync. Where the disk takes no whole
  // segment more, the record goes after the room it took, the file growing with it; only a
  // record the disk does not take is refused.
  std::string noRoom;
  if (m_end + bytes.size() > m_size) Extend(SegmentsFor(m_end + bytes.size()), noRoom);
  if (!WriteAt(bytes.data(), bytes.size(), m_end, error)) {
    // The part the disk took is zeroed again, as far as it lets (a reader would take it for a
    // damaged record); the next bytes go there.
    WriteZeros(m_end, m_end + bytes.size(), noRoom);
    return false;
  }
  m_end += bytes.size();
  m_size = std::max(m_size, m_end);
  return true;
}

bool AppendFile::StartOver(std::string& error) {
  if (m_size > kZeroedAtMost) {
    if (!CutTo(kSegmentBytes, error)) return false;
    m_size = kSegmentBytes;
  }
  if (!WriteZeros(0, std::min(m_end, m_size), error)) return false;
  m_end = 0;
  return true;
}

}  // namespace Platform

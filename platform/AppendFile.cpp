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
  // The first record's sync is then a data sync like every other.
  const uint64_t ahead = SegmentsFor(end + 1);
  if (file->m_size < ahead && !(file->MakeRoom(ahead - end, error) && file->Sync(error))) return nullptr;
  return file;
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

#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

// A journal file: records written one after the other and synced on demand, whose records must
// survive the process (a write that returned is in the system's cache) and, once synced, the
// machine.
//
// The records go into space the file already has: zeros written ahead of them, a segment at a
// time. A data sync then writes the records' blocks and nothing else. A sync after a write that
// grew the file would have to commit the file's new size and blocks to the file system's own
// journal too, and such a commit waits for whatever other programs changed on that file system
// meanwhile (beside a build writing its objects, often milliseconds where a sync into space the
// file has takes tenths of one). For the same reason the
// file is not cut back when it starts over, unless it grew far past one segment: zeros are
// written over what was written. Its reader takes zeros where a record would begin, up to the
// end of the file, as the journal's end.
//
// Writes (Append, StartOver) come from one thread at a time; Sync may run on another meanwhile.
class AppendFile {
 public:
  // The zeros written ahead of the records at a time.
  static constexpr uint64_t kSegmentBytes = 1 << 20;

  // Opens path for writing at `end`, the end of its records (everything after it is zeros, or
  // nothing), creating it (mode 0600) when missing. Space up to the next segment's end is
  // written ahead and synced now, as much of it as the disk takes. Null with the reason in error
  // when the file cannot be opened or synced.
  static std::unique_ptr<AppendFile> Open(const std::string& path, uint64_t end, std::string& error);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Writes bytes after the records, whole, first writing another segment ahead when they do not
  // fit (where the disk takes less, they go after the room it took); false with the reason when
  // the system refused a part of them (the part written is zeroed again).
  bool Append(const std::string& bytes, std::string& error);
  // The file's data on the disk (what a reader needs of it, not every time stamp).
  bool Sync(std::string& error);
  // Zeros over every record, and the next record at the start. A file grown far past one
  // segment is cut back to one instead (its new size is synced with the next record).
  bool StartOver(std::string& error);
  // Where the next record goes.
  uint64_t End() const { return m_end; }
  // The file's size: the records and the zeros ahead of them.
  uint64_t Size() const { return m_size; }
  // Syncs the directory that holds path, so that a file created or renamed there stays.
  static bool SyncDirectoryOf(const std::string& path, std::string& error);

 private:
  AppendFile(int fd, std::string path, uint64_t end, uint64_t size)
      : m_fd(fd), m_path(std::move(path)), m_end(end), m_size(size) {}
  // The file opened (its descriptor and size) made ready: space written ahead up to the next
  // segment's end, and synced. Null, the descriptor closed, when that fails.
  static std::unique_ptr<AppendFile> Ready(int fd, const std::string& path, uint64_t end, uint64_t size,
                                           std::string& error);
  // Writes bytes at offset, whole (each system's own call).
  bool WriteAt(const char* bytes, size_t count, uint64_t offset, std::string& error);
  // Cuts the file to size.
  bool CutTo(uint64_t size, std::string& error);
  bool WriteZeros(uint64_t from, uint64_t to, std::string& error);
  // Writes zeros ahead until the file has `size` bytes; what was written is room even when the
  // disk refuses the rest.
  bool Extend(uint64_t size, std::string& error);
  int m_fd;
  std::string m_path;
  uint64_t m_end;
  uint64_t m_size;
};

}  // namespace Platform

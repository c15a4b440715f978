#include "platform/AppendFile.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>

#include "platform/SystemServices.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

// The journal file on a Win32 file handle, kept as a C library descriptor so that the class
// looks the same on every system: WriteFile at an offset, FlushFileBuffers (the file's data and
// size on the disk), the end of file set through the handle.
namespace Platform {
namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, uint64_t end, std::string& error) {
  // Others may read the journal while it is open; nobody renames over it or removes it then
  // (Windows refuses a rename over an open file, share mode or not: the spool closes it before
  // it replaces it, and this share mode makes every system refuse it alike).
  const HANDLE file =
      ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = FileStepFailed("cannot open", path);
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) {
    error = FileStepFailed("cannot read the size of", path);
    ::CloseHandle(file);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(file);
    error = "cannot open " + path + ": no descriptor is left";
    return nullptr;
  }
  return Ready(fd, path, end, static_cast<uint64_t>(size.QuadPart), error);
}

AppendFile::~AppendFile() { _close(m_fd); }  // closes the handle too

bool AppendFile::WriteAt(const char* bytes, size_t count, uint64_t offset, std::string& error) {
  size_t done = 0;
  while (done < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 20));
    if (!::WriteFile(HandleOf(m_fd), bytes + done, chunk, &written, &at) || written == 0) {
      error = FileStepFailed("cannot write", m_path);
      return false;
    }
    done += written;
  }
  return true;
}

bool AppendFile::Sync(std::string& error) {
  if (::FlushFileBuffers(HandleOf(m_fd))) return true;
  error = FileStepFailed("cannot sync", m_path);
  return false;
}

bool AppendFile::CutTo(uint64_t size, std::string& error) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (::SetFileInformationByHandle(HandleOf(m_fd), FileEndOfFileInfo, &end, sizeof end)) return true;
  error = FileStepFailed("cannot truncate", m_path);
  return false;
}

// A file's name is in its directory once the call that made it returned: the file system
// journals it, and no directory handle can be flushed by an ordinary process.
bool AppendFile::SyncDirectoryOf(const std::string&, std::string&) { return true; }

}  // namespace Platform

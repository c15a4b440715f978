#include "platform/AppendFile.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "platform/SystemServices.h"
#include "platform/WideText.h"

// The journal on a Win32 file handle, kept as a C library descriptor so that the class looks
// the same on every system. Every write goes to the end of the file, whoever wrote last;
// FlushFileBuffers puts the file's data and size on the disk.
namespace Platform {
namespace {

std::string Failed(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + ErrorText(static_cast<int>(::GetLastError()));
}

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& error) {
  // Others may read the journal, and replace or remove it, while it is open.
  const HANDLE file = ::CreateFileW(Widen(path).c_str(), FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = Failed("cannot open", path);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(file);
    error = "cannot open " + path + ": no descriptor is left";
    return nullptr;
  }
  return std::unique_ptr<AppendFile>(new AppendFile(fd, path));
}

AppendFile::~AppendFile() { _close(m_fd); }  // closes the handle too

bool AppendFile::Append(const std::string& bytes, std::string& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    // Offset all ones: this write goes to the current end of the file.
    OVERLAPPED atEnd{};
    atEnd.Offset = 0xFFFFFFFF;
    atEnd.OffsetHigh = 0xFFFFFFFF;
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    if (!::WriteFile(HandleOf(m_fd), bytes.data() + done, chunk, &written, &atEnd) || written == 0) {
      error = Failed("cannot write", m_path);
      return false;
    }
    done += written;
  }
  return true;
}

bool AppendFile::Sync(std::string& error) {
  if (::FlushFileBuffers(HandleOf(m_fd))) return true;
  error = Failed("cannot sync", m_path);
  return false;
}

bool AppendFile::Truncate(std::string& error) {
  FILE_END_OF_FILE_INFO end{};
  if (::SetFileInformationByHandle(HandleOf(m_fd), FileEndOfFileInfo, &end, sizeof end)) return true;
  error = Failed("cannot truncate", m_path);
  return false;
}

// A file's name is in its directory once the call that made it returned: the file system
// journals it, and no directory handle can be flushed by an ordinary process.
bool AppendFile::SyncDirectoryOf(const std::string&, std::string&) { return true; }

}  // namespace Platform

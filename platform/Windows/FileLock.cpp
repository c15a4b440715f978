#include "platform/FileLock.h"

#include <windows.h>

#include "platform/SystemServices.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

namespace Platform {

FileLock::FileLock(const std::string& path, Wait wait) {
  const HANDLE file = ::CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    m_error = "cannot open " + path + ": " + Win32ErrorText(::GetLastError());
    return;
  }
  OVERLAPPED whole{};
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait == Wait::Try ? LOCKFILE_FAIL_IMMEDIATELY : 0);
  if (!::LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
    const DWORD code = ::GetLastError();
    m_elsewhere = code == ERROR_LOCK_VIOLATION;
    m_error = m_elsewhere ? "another process holds " + path : "cannot lock " + path + ": " + Win32ErrorText(code);
    ::CloseHandle(file);
    return;
  }
  m_handle = reinterpret_cast<intptr_t>(file);
}

FileLock::~FileLock() {
  // Closing the handle lets the lock go.
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

}  // namespace Platform

#include "platform/AtomicFile.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "platform/SystemServices.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

namespace Platform {
namespace {

std::atomic<unsigned> g_tempCount{0};

}  // namespace

// Windows files have no permission bits: mode is not used. MoveFileEx with write-through
// returns once the rename is on disk.
bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error, unsigned) {
  const std::filesystem::path target(Widen(path));
  const std::wstring name = target.filename().wstring();
  const std::wstring temp = (target.parent_path() / (L"." + name + L"." + std::to_wstring(::GetCurrentProcessId()) +
                                                     L"." + std::to_wstring(g_tempCount.fetch_add(1)) + L".tmp"))
                                .wstring();
  const std::string tempText = Narrow(temp);
  const HANDLE file =
      ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = FileStepFailed("cannot create a temporary file beside", path);
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < text.size()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr)) {
      error = FileStepFailed("cannot write", tempText);
      ok = false;
    }
    done += written;
  }
  if (ok && !::FlushFileBuffers(file)) {
    error = FileStepFailed("cannot sync", tempText);
    ok = false;
  }
  ::CloseHandle(file);
  if (ok &&
      !::MoveFileExW(temp.c_str(), target.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = FileStepFailed("cannot rename over", path);
    ok = false;
  }
  if (!ok) ::DeleteFileW(temp.c_str());
  return ok;
}

bool SyncFileData(std::FILE* file) {
  return ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)))) != 0;
}

}  // namespace Platform

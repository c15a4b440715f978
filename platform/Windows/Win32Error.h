#pragma once
#include <windows.h>

#include <string>
#include <system_error>

#include "platform/Windows/WideText.h"

namespace Platform {

// The system's message text for a Win32 error code (GetLastError's), without the line break it
// ends in; "error <code>" for a code the system has no text for.
inline std::string Win32ErrorText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n && text ? std::wstring(text, n) : L"";
  if (text) ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return message.empty() ? "error " + std::to_string(code) : Narrow(message);
}

// The calling thread's last Win32 error (GetLastError's) as an error code of the system's
// category.
inline std::error_code LastWin32Error() { return {static_cast<int>(::GetLastError()), std::system_category()}; }

// "<step> <path>: <reason>" for a file call that failed, the reason from GetLastError.
inline std::string FileStepFailed(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + Win32ErrorText(::GetLastError());
}

}  // namespace Platform

#include "platform/SystemServices.h"

#include <windows.h>

#include <cstring>

#include "platform/Windows/WideText.h"

namespace Platform {

std::string ErrorText(int code) {
  // errno values are small; Winsock's start at 10000 and Win32's are the system's messages.
  if (code > 0 && code < 200) return std::strerror(code);
  char* text = nullptr;
  const DWORD n =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n && text ? std::string(text, n) : "error " + std::to_string(code);
  if (text) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) result.pop_back();
  return result;
}

void WriteSystemDiagnostic(const char* text) { ::OutputDebugStringA(text); }

std::string SystemDirectory() {
  wchar_t buffer[MAX_PATH];
  const UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH);
  // Without it (it does not fail on a working system) the log goes where the program runs.
  return n > 0 && n < MAX_PATH ? Narrow(std::wstring(buffer, n)) : ".";
}

std::string StateDirectory() {
  // The machine's folder for programs' data, the same for every user (C:\ProgramData).
  wchar_t buffer[MAX_PATH];
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
  const std::string base = n > 0 && n < MAX_PATH ? Narrow(std::wstring(buffer, n)) : SystemDirectory();
  return base + "\\Ovanta";
}

const char* ManualReference() {
  return "ovanta-hardware.8.html and ovanta-hardware.conf.5.html in the program's folder";
}

char PathSeparator() { return '\\'; }

void IgnoreBrokenPipes() {}

}  // namespace Platform

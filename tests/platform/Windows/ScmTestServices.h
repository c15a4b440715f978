#pragma once
// What the tests that install services need of the SCM beside the backend under test.
//
// These tests hold the CTest resource lock "service_control_manager": Wine hands the control
// pipe of a service it is starting to whichever process asks for one first, so a program that
// calls the dispatcher by hand while another test starts a service takes that service's place.
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/Windows/WideText.h"

namespace ScmTest {

using Platform::Narrow;
using Platform::Widen;

// How long the SCM and a service may take to do what they were asked (a safety limit only).
inline constexpr DWORD kPatienceMs = 30000;

struct CloseService {
  void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, CloseService>;
struct CloseKernelHandle {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using KernelHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, CloseKernelHandle>;

inline ServiceHandle OpenManager() { return ServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

// The service's process while it runs.
inline KernelHandle ProcessOf(const std::string& name) {
  const ServiceHandle manager = OpenManager();
  const ServiceHandle service(::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_QUERY_STATUS));
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!service ||
      !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) ||
      status.dwProcessId == 0)
    return nullptr;
  return KernelHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
}

// Stops a service of the test's (waiting for its process to end) and deletes it.
inline void Remove(const std::string& name) {
  const ServiceHandle manager = OpenManager();
  const ServiceHandle service(::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_ALL_ACCESS));
  if (!service) return;
  if (const KernelHandle process = ProcessOf(name)) {
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    ::WaitForSingleObject(process.get(), kPatienceMs);
  }
  ::DeleteService(service.get());
}

// The dependencies the SCM stores for a service (its DependOnService value): Wine's
// QueryServiceConfigW leaves them out of its answer.
inline std::vector<std::string> StoredDependencies(const std::string& name) {
  const std::wstring key = L"System\\CurrentControlSet\\Services\\" + Widen(name);
  wchar_t list[1024] = {};
  DWORD bytes = sizeof list - 2 * sizeof(wchar_t);
  std::vector<std::string> names;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, list, &bytes) !=
      ERROR_SUCCESS)
    return names;
  for (const wchar_t* d = list; *d; d += wcslen(d) + 1) names.push_back(Narrow(d));
  return names;
}

// Runs a program with arguments (a command line, the program's path quoted) and waits for it:
// its exit status; ~0u when it could not be started or did not end in time.
inline DWORD ExitStatusOf(const std::string& program, const std::string& arguments = "") {
  std::wstring commandLine = L"\"" + Widen(program) + L"\"" + (arguments.empty() ? L"" : L" " + Widen(arguments));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return ~0u;
  const KernelHandle process(info.hProcess);
  ::CloseHandle(info.hThread);
  DWORD status = ~0u;
  if (::WaitForSingleObject(process.get(), kPatienceMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), ~0u);  // no program of a test outlives it
    return ~0u;
  }
  if (!::GetExitCodeProcess(process.get(), &status)) return ~0u;
  return status;
}

}  // namespace ScmTest

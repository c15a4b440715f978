#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/Windows/ControlRequest.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

// The service control manager: the service is registered as a program of its own process,
// started automatically, and run by the SCM through StartServiceCtrlDispatcherW.
namespace Platform {
namespace {

// The controls the service takes: stop, shutdown and power events.
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT;
// How long RunDispatcher waits for the service main's thread to end after it returned.
constexpr DWORD kThreadEndMs = 5000;

// The failed call's reason, from GetLastError as the call left it.
bool Failed(std::string& error) {
  error = Win32ErrorText(::GetLastError());
  return false;
}

// The SCM with the access asked for, and a service in it.
class OpenedService {
 public:
  // False (with the reason) when either cannot be opened; Failure() is then the error code.
  bool Open(const std::string& name, DWORD managerAccess, DWORD serviceAccess, std::string& error) {
    m_manager.reset(::OpenSCManagerW(nullptr, nullptr, managerAccess));
    if (m_manager) m_service.reset(::OpenServiceW(m_manager.get(), Widen(name).c_str(), serviceAccess));
    if (m_service) return true;
    m_failure = ::GetLastError();
    error = Win32ErrorText(m_failure);
    return false;
  }
  SC_HANDLE Service() const { return m_service.get(); }
  DWORD Failure() const { return m_failure; }

 private:
  struct Close {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
  };
  using Handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, Close>;
  Handle m_manager, m_service;
  DWORD m_failure = NO_ERROR;
};

// The command line the SCM runs: the program's path in double quotes, so that a path with
// spaces names that program and no other ("C:\Program Files\..." unquoted would try
// "C:\Program.exe" first).
std::wstring CommandLineOf(const std::string& path) { return L"\"" + Widen(path) + L"\""; }

// The program a configured command line runs: the quoted first word, or (as an unquoted
// command line without arguments is read) the whole line.
std::string ProgramOf(const std::wstring& commandLine) {
  if (!commandLine.empty() && commandLine.front() == L'"') {
    const size_t end = commandLine.find(L'"', 1);
    return Narrow(commandLine.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1));
  }
  const size_t last = commandLine.find_last_not_of(L' ');
  return Narrow(commandLine.substr(0, last == std::wstring::npos ? 0 : last + 1));
}

// A double-null-terminated list of names, as CreateServiceW takes dependencies.
std::wstring NameList(const std::vector<std::string>& names) {
  std::wstring list;
  for (const std::string& name : names) list += Widen(name) + L'\0';
  return list + L'\0';
}

// What the SCM does when the service's process ends without having reported SERVICE_STOPPED
// (as the systemd unit's Restart=on-failure): it starts the service again after 5 s, every
// time; the count of failures starts over after a day without one. False when the SCM refuses.
constexpr DWORD kRestartDelayMs = 5000;
constexpr DWORD kFailureCountResetS = 24 * 60 * 60;
bool SetRestartOnFailure(SC_HANDLE service) {
  SC_ACTION actions[3];
  for (SC_ACTION& action : actions) action = {SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = kFailureCountResetS;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  return ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

// The one dispatcher a process can run, shared by StartServiceCtrlDispatcherW's callbacks
// (plain functions) and the status reports.
struct Dispatcher {
  std::mutex lock;
  std::condition_variable idle;  // the service main returned, a handler call or a report ended
  bool active = false;           // RunDispatcher is running
  bool mainRunning = false;      // the service main is between its start and its return
  int handlerCalls = 0;          // calls of the handler under way
  HANDLE mainThread = nullptr;   // the thread the system runs the service main on
  std::wstring name;             // written by RunDispatcher only, before the dispatcher starts
  const std::function<void()>* serviceMain = nullptr;
  const ServiceControlCallback* handler = nullptr;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status{};
  int reportsSent = 0;   // SetServiceStatus calls under way (made outside the lock)
  bool stopped = false;  // SERVICE_STOPPED was reported or is being reported: nothing follows it
};
Dispatcher g_dispatcher;

// Windows calls it on the dispatcher's thread, Wine on a thread of its own: either way while
// the service main runs.
DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void*) {
  const ServiceControlCallback* handler;
  {
    std::lock_guard<std::mutex> guard(g_dispatcher.lock);
    handler = g_dispatcher.handler;
    if (!handler) return ERROR_CALL_NOT_IMPLEMENTED;
    ++g_dispatcher.handlerCalls;
  }
  // Not under the lock: the handler reports the status.
  const DWORD answer = (*handler)(DecodeControlRequest(control, eventType, eventData));
  std::lock_guard<std::mutex> guard(g_dispatcher.lock);
  --g_dispatcher.handlerCalls;
  g_dispatcher.idle.notify_all();
  return answer;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  // Not under the lock: the system's dispatcher holds a lock of its own while it calls the
  // handler, which takes this one.
  const SERVICE_STATUS_HANDLE handle =
      ::RegisterServiceCtrlHandlerExW(g_dispatcher.name.c_str(), ControlHandler, nullptr);
  if (!handle) return;
  RegisterUsbDeviceEvents(handle);
  {
    // A service registered by other means than "-i" (an installer, sc.exe) restarts on failure
    // all the same from its first start on.
    OpenedService self;
    std::string ignored;
    if (self.Open(Narrow(g_dispatcher.name), SC_MANAGER_CONNECT, SERVICE_CHANGE_CONFIG, ignored))
      SetRestartOnFailure(self.Service());
  }
  HANDLE thread = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
  const std::function<void()>* serviceMain;
  {
    std::lock_guard<std::mutex> guard(g_dispatcher.lock);
    g_dispatcher.mainThread = thread;
    g_dispatcher.statusHandle = handle;
    g_dispatcher.status = {};
    g_dispatcher.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_dispatcher.status.dwCurrentState = SERVICE_START_PENDING;
    g_dispatcher.status.dwControlsAccepted = kControlsAccepted;
    g_dispatcher.stopped = false;
    g_dispatcher.mainRunning = true;
    serviceMain = g_dispatcher.serviceMain;
  }
  (*serviceMain)();
  std::lock_guard<std::mutex> guard(g_dispatcher.lock);
  g_dispatcher.mainRunning = false;
  g_dispatcher.idle.notify_all();
}

class ScmServiceControl final : public IServiceControl {
 public:
  bool ModulePath(std::string& path, std::string& error) override {
    // A path longer than MAX_PATH is cut short with ERROR_INSUFFICIENT_BUFFER: ask again with
    // room for it.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) return Failed(error);
      if (n < buffer.size()) {
        buffer.resize(n);
        path = Narrow(buffer);
        return true;
      }
      if (buffer.size() >= 32768) return Failed(error);
      buffer.resize(buffer.size() * 2);
    }
  }

  bool Exists(const std::string& name, std::string& error) override {
    OpenedService opened;
    if (opened.Open(name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, error)) return true;
    if (opened.Failure() == ERROR_SERVICE_DOES_NOT_EXIST) error.clear();
    return false;
  }

  bool ConfiguredBinaryPath(const std::string& name, std::string& path, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, SERVICE_QUERY_CONFIG, error)) return false;
    DWORD needed = 0;
    if (::QueryServiceConfigW(opened.Service(), nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return Failed(error);
    // QUERY_SERVICE_CONFIGW holds pointers: the buffer is aligned for them.
    std::vector<uint64_t> buffer((needed + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(opened.Service(), config, needed, &needed)) return Failed(error);
    path = ProgramOf(config->lpBinaryPathName ? config->lpBinaryPathName : L"");
    return true;
  }

  bool Create(const ServiceConfig& config, std::string& error) override {
    const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!manager) return Failed(error);
    const std::wstring name = Widen(config.name);
    const std::wstring dependencies = NameList(config.dependencies);
    const SC_HANDLE service =
        ::CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                         SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, CommandLineOf(config.binaryPath).c_str(), nullptr,
                         nullptr, dependencies.c_str(), nullptr, nullptr);
    const bool created = service || Failed(error);
    ::CloseServiceHandle(manager);
    if (!created) return false;
    if (!config.description.empty()) {
      // The description is for people reading the service list; the service runs without it.
      std::wstring text = Widen(config.description);
      SERVICE_DESCRIPTIONW description{text.data()};
      ::ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
    }
    SetRestartOnFailure(service);
    ::CloseServiceHandle(service);
    return true;
  }

  bool ChangeBinaryPath(const std::string& name, const std::string& path, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, SERVICE_CHANGE_CONFIG, error)) return false;
    if (!::ChangeServiceConfigW(opened.Service(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                CommandLineOf(path).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      return Failed(error);
    return true;
  }

  bool Delete(const std::string& name, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, DELETE, error)) return false;
    return ::DeleteService(opened.Service()) || Failed(error);
  }

  bool QueryState(const std::string& name, uint32_t& state, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS, error)) return false;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(opened.Service(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
      return Failed(error);
    state = status.dwCurrentState;
    return true;
  }

  bool Start(const std::string& name, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, SERVICE_START, error)) return false;
    return ::StartServiceW(opened.Service(), 0, nullptr) || Failed(error);
  }

  bool ControlStop(const std::string& name, std::string& error) override {
    OpenedService opened;
    if (!opened.Open(name, SC_MANAGER_CONNECT, SERVICE_STOP, error)) return false;
    SERVICE_STATUS status{};
    return ::ControlService(opened.Service(), SERVICE_CONTROL_STOP, &status) || Failed(error);
  }

  bool ReportStatus(uint32_t state, uint32_t waitHintMs, std::string& error) override {
    SERVICE_STATUS_HANDLE handle;
    SERVICE_STATUS status;
    const bool final = state == SERVICE_STOPPED;
    {
      std::unique_lock<std::mutex> guard(g_dispatcher.lock);
      handle = g_dispatcher.statusHandle;
      if (!handle) {
        error = Win32ErrorText(ERROR_INVALID_HANDLE);
        return false;
      }
      // The SCM takes a report after SERVICE_STOPPED as the process ending while the service
      // runs (and runs the recovery actions): once the stop is reported, later reports (an
      // interrogation or a device event racing the end) are dropped, and the stop itself waits
      // for the reports already on their way to arrive first.
      if (g_dispatcher.stopped) return true;
      g_dispatcher.status.dwCurrentState = state;
      g_dispatcher.status.dwWin32ExitCode = NO_ERROR;
      g_dispatcher.status.dwCheckPoint = 0;
      g_dispatcher.status.dwWaitHint = waitHintMs;
      status = g_dispatcher.status;
      if (final) {
        g_dispatcher.stopped = true;
        g_dispatcher.idle.wait(guard, [] { return g_dispatcher.reportsSent == 0; });
      } else {
        ++g_dispatcher.reportsSent;
      }
    }
    // Outside the lock: the SCM may be waiting for the control handler, which reports too.
    const bool sent = ::SetServiceStatus(handle, &status) || Failed(error);
    if (!final) {
      std::lock_guard<std::mutex> guard(g_dispatcher.lock);
      --g_dispatcher.reportsSent;
      g_dispatcher.idle.notify_all();
    }
    return sent;
  }

  bool RunDispatcher(const std::string& name, const std::function<void()>& serviceMain,
                     const ServiceControlCallback& handler, std::string& error) override {
    {
      std::lock_guard<std::mutex> guard(g_dispatcher.lock);
      if (g_dispatcher.active) {
        error = Win32ErrorText(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
      }
      g_dispatcher.active = true;
      g_dispatcher.name = Widen(name);
      g_dispatcher.serviceMain = &serviceMain;
      g_dispatcher.handler = &handler;
    }
    // The table's name is read while the dispatcher runs; only RunDispatcher changes it.
    SERVICE_TABLE_ENTRYW table[] = {{g_dispatcher.name.data(), ServiceMain}, {nullptr, nullptr}};
    const bool dispatched = ::StartServiceCtrlDispatcherW(table);
    const DWORD reason = ::GetLastError();
    // The dispatcher returns once the service reported SERVICE_STOPPED, which the service main
    // does just before it returns, and a handler call may still be on its way out: all of that
    // must be over before the caller takes down what they use (the log, the manager), and the
    // service main's thread must be gone before the process exits (a thread of the runtime
    // that ends while the process takes the runtime down can crash it).
    HANDLE thread;
    {
      std::unique_lock<std::mutex> guard(g_dispatcher.lock);
      g_dispatcher.idle.wait(guard, [] { return !g_dispatcher.mainRunning && g_dispatcher.handlerCalls == 0; });
      g_dispatcher.active = false;
      g_dispatcher.serviceMain = nullptr;
      g_dispatcher.handler = nullptr;
      g_dispatcher.statusHandle = nullptr;
      thread = std::exchange(g_dispatcher.mainThread, nullptr);
    }
    if (thread) {
      // It ends as soon as the service main returned; the limit guards against a system that
      // keeps the thread for other work.
      ::WaitForSingleObject(thread, kThreadEndMs);
      ::CloseHandle(thread);
    }
    if (!dispatched) error = Win32ErrorText(reason);
    return dispatched;
  }

  void SleepMs(uint32_t ms) override { ::Sleep(ms); }

  bool SamePath(const std::string& a, const std::string& b) override {
    const std::wstring wa = Widen(a), wb = Widen(b);
    return ::CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                                  TRUE) == CSTR_EQUAL;
  }
};

}  // namespace

std::unique_ptr<IServiceControl> MakeServiceControl() { return std::make_unique<ScmServiceControl>(); }

}  // namespace Platform

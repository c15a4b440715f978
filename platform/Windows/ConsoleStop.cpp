#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/ServiceControl.h"

// The console's stop requests (Ctrl-C, Ctrl-Break, the window closing) arrive on a thread the
// system starts for each; the watcher that exists then takes them.
namespace Platform {

struct StopSignalWatcher::Impl {
  std::function<void(int)> onStop;
};

namespace {

// The watchers that exist; the newest takes the console's events.
struct ConsoleWatchers {
  std::mutex lock;
  std::vector<const std::function<void(int)>*> watchers;  // their onStop
};
ConsoleWatchers g_console;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  // Under the lock: the watcher is not destroyed while it is told.
  std::lock_guard<std::mutex> guard(g_console.lock);
  if (g_console.watchers.empty()) return FALSE;
  (*g_console.watchers.back())(static_cast<int>(event));
  return TRUE;
}

}  // namespace

void BlockStopSignals() {}

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> onStop) : m_impl(std::make_unique<Impl>()) {
  m_impl->onStop = std::move(onStop);
  std::lock_guard<std::mutex> guard(g_console.lock);
  if (g_console.watchers.empty()) ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  g_console.watchers.push_back(&m_impl->onStop);
}

StopSignalWatcher::~StopSignalWatcher() {
  std::lock_guard<std::mutex> guard(g_console.lock);
  std::erase(g_console.watchers, &m_impl->onStop);
  if (g_console.watchers.empty()) ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

}  // namespace Platform

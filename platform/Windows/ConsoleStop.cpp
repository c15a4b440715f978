#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/Windows/ConsoleEvents.h"

// The console's stop requests (Ctrl-C, Ctrl-Break, the window closing) arrive on a thread the
// system starts for each; the watcher that exists then takes them.
namespace Platform {

struct StopSignalWatcher::Impl {
  std::function<void(int)> onStop;
};

namespace {

// Windows ends the process about 5 s after the console window closes, or as soon as the handler
// returns: a close waits this long at most for the program's shutdown.
constexpr auto kCloseGrace = std::chrono::milliseconds(4500);

// The watchers that exist; the newest takes the console's events.
struct ConsoleWatchers {
  std::mutex lock;
  std::condition_variable released;                       // ReleaseConsoleClose was called
  std::vector<const std::function<void(int)>*> watchers;  // their onStop
  bool held = false;                                      // a close waits for ReleaseConsoleClose
  bool installed = false;                                 // the handler is the system's
};
ConsoleWatchers g_console;

BOOL WINAPI OnConsoleEvent(DWORD event) { return DeliverConsoleEvent(event) ? TRUE : FALSE; }

// The handler is installed while a watcher exists or a close is held.
void UpdateHandler(const std::lock_guard<std::mutex>&) {
  const bool wanted = !g_console.watchers.empty() || g_console.held;
  if (wanted != g_console.installed) ::SetConsoleCtrlHandler(OnConsoleEvent, wanted ? TRUE : FALSE);
  g_console.installed = wanted;
}

}  // namespace

bool DeliverConsoleEvent(unsigned long event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return false;
  }
  std::unique_lock<std::mutex> guard(g_console.lock);
  const bool closing = event == CTRL_CLOSE_EVENT && g_console.held;
  if (g_console.watchers.empty() && !closing) return false;
  // Under the lock: the watcher is not destroyed while it is told.
  if (!g_console.watchers.empty()) (*g_console.watchers.back())(static_cast<int>(event));
  // Not under the lock meanwhile: the program's shutdown destroys its watcher.
  if (closing) g_console.released.wait_for(guard, kCloseGrace, [] { return !g_console.held; });
  return true;
}

void BlockStopSignals() {}

bool ConsoleIsClosing(int signal) { return signal == CTRL_CLOSE_EVENT; }

void HoldConsoleClose() {
  std::lock_guard<std::mutex> guard(g_console.lock);
  g_console.held = true;
  UpdateHandler(guard);
}

void ReleaseConsoleClose() {
  std::lock_guard<std::mutex> guard(g_console.lock);
  g_console.held = false;
  UpdateHandler(guard);
  g_console.released.notify_all();
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int)> onStop) : m_impl(std::make_unique<Impl>()) {
  m_impl->onStop = std::move(onStop);
  std::lock_guard<std::mutex> guard(g_console.lock);
  g_console.watchers.push_back(&m_impl->onStop);
  UpdateHandler(guard);
}

StopSignalWatcher::~StopSignalWatcher() {
  std::lock_guard<std::mutex> guard(g_console.lock);
  std::erase(g_console.watchers, &m_impl->onStop);
  UpdateHandler(guard);
}

}  // namespace Platform

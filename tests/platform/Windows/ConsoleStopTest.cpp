// The console's events as the system's console thread delivers them to the program's handler
// (Wine sends no close event: the handler is called as the system would call it).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/Windows/ConsoleEvents.h"

namespace {

using namespace Platform;

// What happened, in order, across the threads of a test.
class Steps {
 public:
  void Add(const std::string& step) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_steps.push_back(step);
    m_added.notify_all();
  }
  void WaitFor(const std::string& step) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_added.wait(guard, [&] { return std::find(m_steps.begin(), m_steps.end(), step) != m_steps.end(); });
  }
  std::vector<std::string> All() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_steps;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_added;
  std::vector<std::string> m_steps;
};

// Ctrl-C and Ctrl-Break reach the newest watcher, which may tell them from a close; without a
// watcher nobody takes them (the system's default ends the process); other events are left to
// the system.
TEST(ConsoleEvents, StopRequestsReachTheNewestWatcher) {
  std::vector<int> older, newer;
  {
    StopSignalWatcher first([&](int event) { older.push_back(event); });
    {
      StopSignalWatcher second([&](int event) { newer.push_back(event); });
      EXPECT_TRUE(DeliverConsoleEvent(CTRL_C_EVENT));
      EXPECT_TRUE(DeliverConsoleEvent(CTRL_BREAK_EVENT));
      EXPECT_FALSE(DeliverConsoleEvent(CTRL_LOGOFF_EVENT));
    }
    EXPECT_TRUE(DeliverConsoleEvent(CTRL_CLOSE_EVENT));  // not held: returns once told
  }
  EXPECT_FALSE(DeliverConsoleEvent(CTRL_C_EVENT));
  EXPECT_EQ(newer, (std::vector<int>{CTRL_C_EVENT, CTRL_BREAK_EVENT}));
  EXPECT_EQ(older, std::vector<int>{CTRL_CLOSE_EVENT});
  EXPECT_TRUE(ConsoleIsClosing(CTRL_CLOSE_EVENT));
  EXPECT_FALSE(ConsoleIsClosing(CTRL_C_EVENT));
}

// Windows ends the process as soon as the handler returns: a close under HoldConsoleClose
// returns only once the program released it, after its watcher is gone and its settings saved.
TEST(ConsoleEvents, AHeldCloseWaitsForTheShutdownToFinish) {
  Steps steps;
  HoldConsoleClose();
  std::thread console;
  {
    StopSignalWatcher watcher([&](int event) { steps.Add(ConsoleIsClosing(event) ? "told: closing" : "told"); });
    console = std::thread([&] {
      const bool taken = DeliverConsoleEvent(CTRL_CLOSE_EVENT);
      steps.Add(taken ? "handler returned" : "not taken");
    });
    steps.WaitFor("told: closing");
  }
  steps.Add("watcher gone");
  steps.Add("settings saved, last line written");
  ReleaseConsoleClose();
  console.join();
  EXPECT_EQ(steps.All(), (std::vector<std::string>{"told: closing", "watcher gone", "settings saved, last line written",
                                                   "handler returned"}));
  // Released, a close without a watcher is the system's again.
  EXPECT_FALSE(DeliverConsoleEvent(CTRL_CLOSE_EVENT));
}

}  // namespace

// The sleep monitor on a bus of the test's own, with a stand-in for logind on it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "devices/Linux/OsEvents.h"
#include "tests/devices/FakeLogind.h"
#include "tests/protocol/LogCapture.h"

namespace {

class SleepMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready()) << "dbus-daemon did not start";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.Address().c_str(), 1);
  }
  void TearDown() override { unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

  PrivateBus m_bus;
  Recorded<std::pair<PowerEvent, bool>> m_recorder;  // with whether the sleep lock was still held
};

// Before sleep the receivers are closed while logind still waits for the lock, which is let go
// only afterwards; after resume the receivers are opened again and a new lock is held.
TEST_F(SleepMonitorTest, SuspendClosesUnderTheLockAndResumeTakesANewOne) {
  FakeLogind logind(m_bus.Address());
  ASSERT_TRUE(logind.Ready());
  auto monitor = std::make_unique<CSleepMonitor>([&](PowerEvent type) {
    const auto locks = logind.Inhibits();
    m_recorder.Add({type, !locks.empty() && !FakeLogind::Released(locks.back())});
  });
  ASSERT_TRUE(monitor->Running());
  const FakeLogind::Inhibit first = logind.WaitForInhibit(0);
  EXPECT_EQ(first.what + " " + first.mode + " " + first.who, "sleep delay Ovanta Hardware");
  EXPECT_FALSE(FakeLogind::Released(first));

  logind.EmitPrepareForSleep(true);
  EXPECT_EQ(m_recorder.Wait(0), std::make_pair(PowerEvent::kSuspend, true));
  EXPECT_TRUE(FakeLogind::Released(first, 20000));

  logind.EmitPrepareForSleep(false);
  EXPECT_EQ(m_recorder.Wait(1), std::make_pair(PowerEvent::kResumeSuspend, true));
  const FakeLogind::Inhibit second = logind.WaitForInhibit(1);
  EXPECT_FALSE(FakeLogind::Released(second));

  // A service that stops lets go of its lock, so that it never holds up a sleep.
  monitor.reset();
  EXPECT_TRUE(FakeLogind::Released(second, 20000));
  EXPECT_EQ(m_recorder.All().size(), 2u);
}

// Without logind on the bus the monitor still runs, listening for one to come.
TEST_F(SleepMonitorTest, ALostBusIsLoggedOnceAndTheMonitorStopsWatching) {
  LogCapture log;
  CSleepMonitor monitor([&](PowerEvent type) { m_recorder.Add({type, false}); });
  ASSERT_TRUE(monitor.Running());
  m_bus.Stop();
  bool stopped = false;
  for (int i = 0; i < 2000 && !(stopped = !monitor.Running()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(stopped);
  EXPECT_EQ(log.Count("The system bus connection was lost ("), 1u);
}

TEST(SleepMonitorWithoutBusTest, NoSystemBusMeansNoMonitorAndNoHang) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ovanta-test-bus", 1);
  CSleepMonitor monitor([](PowerEvent) { ADD_FAILURE() << "no event can come without a bus"; });
  EXPECT_FALSE(monitor.Running());
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>

#include "platform/WaitEvent.h"

namespace {

constexpr int kTestWaitMs = 10000;

// Both ends of a pipe, closed at the end of the test.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    CloseWriteEnd();
    close(fds[0]);
  }
  void CloseWriteEnd() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
  int fds[2] = {-1, -1};
};

TEST(ManualResetEvent, StaysSetUntilReset) {
  CWaitEvent event;
  EXPECT_FALSE(event.IsSet());
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.IsSet());
  event.Reset();
  EXPECT_FALSE(event.IsSet());
  EXPECT_TRUE(CWaitEvent(true).IsSet());
}

TEST(ManualResetEvent, OneSetWakesEveryWaiter) {
  CWaitEvent event;
  std::atomic<int> woken{0};
  std::array<std::jthread, 2> waiters;
  for (auto& t : waiters) t = std::jthread([&] { woken += event.Wait(kTestWaitMs) ? 1 : 0; });
  event.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(AutoResetEvent, OneWaitConsumesTheSignal) {
  ReceiverService::CWaitEvent event;
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // a second Set on a signalled event adds nothing
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

// Two threads wait on the same auto-reset event (and a quit event). One Set must end exactly
// one wait; the other thread is only released by quit.
TEST(AutoResetEvent, OneSetWakesExactlyOneOfTwoWaiters) {
  ReceiverService::CWaitEvent event;
  CWaitEvent quit;
  ReceiverService::CWaitEvent reported;
  std::array<std::atomic<int>, 2> results{-5, -5};
  std::array<std::jthread, 2> waiters;
  for (size_t i = 0; i < waiters.size(); ++i) {
    waiters[i] = std::jthread([&, i] {
      const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(event), Platform::WaitHandle::Of(quit)};
      results[i] = Platform::WaitForAny(handles, kTestWaitMs);
      reported.Set();
    });
  }
  event.Set();
  ASSERT_TRUE(reported.Wait(kTestWaitMs));
  quit.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ((results[0] == 0) + (results[1] == 0), 1) << results[0] << " " << results[1];
  EXPECT_EQ((results[0] == 1) + (results[1] == 1), 1) << results[0] << " " << results[1];
}

TEST(WaitForAny, LowestReadyIndexWins) {
  std::array<CWaitEvent, 3> events;
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(events[0]), Platform::WaitHandle::Of(events[1]),
                                          Platform::WaitHandle::Of(events[2])};
  events[2].Set();
  events[1].Set();
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 1);
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 1);
  events[1].Reset();
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 2);
  events[2].Reset();
  EXPECT_EQ(Platform::WaitForAny(handles, 0), Platform::kWaitTimeout);
}

// An auto-reset event that is ready but loses to a lower index keeps its signal.
TEST(WaitForAny, AutoResetEventBehindTheWinnerKeepsItsSignal) {
  CWaitEvent manual;
  ReceiverService::CWaitEvent automatic;
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(manual), Platform::WaitHandle::Of(automatic)};
  manual.Set();
  automatic.Set();
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 0);
  manual.Reset();
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs), 1);
  EXPECT_EQ(Platform::WaitForAny(handles, 0), Platform::kWaitTimeout);
  EXPECT_EQ(Platform::WaitForAny(handles, 20), Platform::kWaitTimeout);
}

TEST(WaitForAny, EventsAndADescriptorTogether) {
  Pipe p;
  CWaitEvent stop;
  ReceiverService::CWaitEvent wake;
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(stop), Platform::WaitHandle::Of(wake),
                                          Platform::WaitHandle::Descriptor(p.fds[0])};
  std::jthread writer([&] { ASSERT_EQ(write(p.fds[1], "x", 1), 1); });
  short revents = 0;
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs, &revents), 2);
  EXPECT_TRUE(revents & POLLIN);
  writer.join();
  wake.Set();
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs, &revents), 1);
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs, &revents), 2);  // the byte is still unread
}

TEST(WaitForAny, HungUpDescriptorIsReported) {
  Pipe p;
  CWaitEvent stop;
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(stop), Platform::WaitHandle::Descriptor(p.fds[0])};
  p.CloseWriteEnd();
  short revents = 0;
  EXPECT_EQ(Platform::WaitForAny(handles, kTestWaitMs, &revents), 1);
  EXPECT_TRUE(revents & POLLHUP);
}

TEST(WaitForAny, ClosedOrInvalidDescriptorsAndNoHandlesFail) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  const Platform::WaitHandle h = Platform::WaitHandle::Descriptor(fds[0]);
  EXPECT_EQ(Platform::WaitForAny({&h, 1}, 0), Platform::kWaitFailed);
  // poll() itself would skip a negative descriptor and wait on the rest.
  CWaitEvent manual;
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(manual), Platform::WaitHandle::Descriptor(-1)};
  EXPECT_EQ(Platform::WaitForAny(handles, 0), Platform::kWaitFailed);
  EXPECT_EQ(Platform::WaitForAny({}, 0), Platform::kWaitFailed);
}

}  // namespace

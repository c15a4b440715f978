#include <gtest/gtest.h>

#include <atomic>

#include "platform/Thread.h"
#include "platform/Tick.h"
#include "platform/WaitEvent.h"

namespace {

TEST(Tick, ComparisonsHoldAcrossTheWrap) {
  const uint32_t beforeWrap = 0xFFFFFFF0u, afterWrap = 5;
  EXPECT_EQ(Platform::TickDiff(afterWrap, beforeWrap), 21);
  EXPECT_EQ(Platform::TickDiff(beforeWrap, afterWrap), -21);
  EXPECT_TRUE(Platform::TickReached(afterWrap, beforeWrap));
  EXPECT_FALSE(Platform::TickReached(beforeWrap, afterWrap));
  EXPECT_TRUE(Platform::TickReached(afterWrap, afterWrap));
  EXPECT_FALSE(Platform::TickReached(0x7FFFFFFFu, 0x80000000u));
}

// Runs until released, counting its runs.
class GatedThread : public CThread {
 public:
  ~GatedThread() override {
    release.Set();
    Join();
  }
  CWaitEvent release;
  std::atomic<int> runs{0};

 protected:
  unsigned Run() override {
    ++runs;
    release.Wait(-1);
    return 0;
  }
};

TEST(Thread, JoinWaitsForTheBodyAndAllowsAnotherStart) {
  GatedThread thread;
  EXPECT_TRUE(thread.Join());  // never started
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());  // already running
  EXPECT_FALSE(thread.Join(0));
  thread.release.Set();
  EXPECT_TRUE(thread.Join(10000));
  ASSERT_TRUE(thread.Start());
  EXPECT_TRUE(thread.Join(10000));
  EXPECT_EQ(thread.runs.load(), 2);
}

}  // namespace

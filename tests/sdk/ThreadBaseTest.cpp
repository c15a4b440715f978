#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <string>

#include "SocketTestHelpers.h"
#include "platform/SocketExceptions.h"
#include "platform/Thread.h"
#include "platform/WaitEvent.h"

namespace {

// A thread body that notes the state of both events when it starts, says it has started,
// and runs until stopped.
class StoppableThread : public CThreadBase {
 public:
  ~StoppableThread() override {
    Stop();
    WaitForEnd();
  }
  void Run() override {
    stopSetAtStart = m_stopEvent.IsSet();
    finishedSetAtStart = FinishedEvent().IsSet();
    ++runs;
    started.Set();
    m_stopEvent.Wait(-1);
  }
  std::atomic<int> runs{0};
  std::atomic<bool> stopSetAtStart{true};
  std::atomic<bool> finishedSetAtStart{true};
  ReceiverService::CWaitEvent started;
};

TEST(ThreadBase, StartingARunningThreadDoesNothing) {
  StoppableThread thread;
  thread.Start();
  ASSERT_TRUE(thread.started.Wait(kTestWaitMs));
  thread.Start();
  EXPECT_TRUE(thread.IsRunning());
  thread.Stop();
  thread.WaitForEnd();
  EXPECT_EQ(thread.runs.load(), 1);
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_TRUE(thread.FinishedEvent().IsSet());
}

TEST(ThreadBase, StartingAFinishedThreadRunsAgainWithBothEventsReset) {
  StoppableThread thread;
  thread.Start();
  ASSERT_TRUE(thread.started.Wait(kTestWaitMs));
  thread.Stop();
  thread.WaitForEnd();
  ASSERT_TRUE(thread.StopEvent().IsSet());
  ASSERT_TRUE(thread.FinishedEvent().IsSet());

  thread.Start();
  ASSERT_TRUE(thread.started.Wait(kTestWaitMs));
  EXPECT_EQ(thread.runs.load(), 2);
  EXPECT_FALSE(thread.stopSetAtStart.load());
  EXPECT_FALSE(thread.finishedSetAtStart.load());
  EXPECT_TRUE(thread.IsRunning());
}

TEST(ThreadBase, StopAndWaitOnANeverStartedThreadReturnAtOnce) {
  StoppableThread thread;
  thread.Stop();
  thread.WaitForEnd();
  EXPECT_FALSE(thread.StopEvent().IsSet());
  EXPECT_EQ(thread.runs.load(), 0);
}

// Reads its own nice value when asked, until stopped.
class PriorityThread : public CThreadBase {
 public:
  ~PriorityThread() override {
    Stop();
    WaitForEnd();
  }
  void Run() override {
    niceAtStart = getpriority(PRIO_PROCESS, 0);
    started.Set();
    const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent), Platform::WaitHandle::Of(ask)};
    while (Platform::WaitForAny(handles, -1) == 1) {
      nice = getpriority(PRIO_PROCESS, 0);
      answered.Set();
    }
  }
  std::atomic<int> niceAtStart{0}, nice{0};
  ReceiverService::CWaitEvent started, ask, answered;
};

TEST(ThreadBase, PriorityIsSettableWhileRunning) {
  PriorityThread thread;
  EXPECT_FALSE(thread.SetPriority(-1));  // not running
  thread.Start();
  ASSERT_TRUE(thread.started.Wait(kTestWaitMs));
  if (thread.niceAtStart.load() > 3) GTEST_SKIP() << "the test runs below the priorities it would set";
  ASSERT_TRUE(thread.SetPriority(-3));  // below normal: always allowed
  thread.ask.Set();
  ASSERT_TRUE(thread.answered.Wait(kTestWaitMs));
  EXPECT_EQ(thread.nice.load(), 3);
  EXPECT_EQ(getpriority(PRIO_PROCESS, 0), thread.niceAtStart.load());  // the caller's own is untouched
  thread.Stop();
  thread.WaitForEnd();
  EXPECT_FALSE(thread.SetPriority(0));
}

class ExceptionReport : public ::testing::Test {
 protected:
  void SetUp() override { SetDiagnosticSink(&sink); }
  void TearDown() override { SetDiagnosticSink(nullptr); }
  RecordingSink sink;
};

TEST_F(ExceptionReport, ReportsCodeAndMessage) {
  CSocketLibException(7, "queue full").Report();
  CSocketLibException(0, "").Report();
  CSocketException(ECONNREFUSED).Report();
  ASSERT_EQ(sink.lines.size(), 3u);
  EXPECT_EQ(sink.lines[0], "Exception (Error code = 7) : queue full\n");
  EXPECT_EQ(sink.lines[1], "Exception (Error code = 0) : <null>\n");
  EXPECT_EQ(sink.lines[2],
            "Exception (Error code = " + std::to_string(ECONNREFUSED) + ") : " + SystemErrorText(ECONNREFUSED) + "\n");
  EXPECT_FALSE(SystemErrorText(ECONNREFUSED).empty());
}

TEST_F(ExceptionReport, LongTextsAreCutAt4095Characters) {
  DiagnosticLog("%s", std::string(5000, 'x').c_str());
  ASSERT_EQ(sink.lines.size(), 1u);
  EXPECT_EQ(sink.lines[0].size(), 4095u);
}

TEST(DiagnosticSink, ARemovedSinkGetsNothingMore) {
  RecordingSink sink;
  SetDiagnosticSink(&sink);
  SetDiagnosticSink(nullptr);
  CSocketLibException(1, "dropped").Report();
  EXPECT_TRUE(sink.lines.empty());
}

}  // namespace

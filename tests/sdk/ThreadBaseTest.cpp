#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <string>
#include <vector>

#include "SocketTestHelpers.h"
#include "platform/Thread.h"

namespace {

// A thread body that notes its nice value and whether either event was set when it started,
// says it has started, and runs until stopped, reading its nice value again when asked.
class WatchedThread : public CThreadBase {
 public:
  ~WatchedThread() override {
    Stop();
    WaitForEnd();
  }
  void Run() override {
    eventsSetAtStart = m_stopEvent.IsSet() || FinishedEvent().IsSet();
    niceAtStart = getpriority(PRIO_PROCESS, 0);
    ++runs;
    started.Set();
    const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent), Platform::WaitHandle::Of(ask)};
    while (Platform::WaitForAny(handles, -1) == 1) {
      nice = getpriority(PRIO_PROCESS, 0);
      answered.Set();
    }
  }
  std::atomic<int> runs{0}, niceAtStart{0}, nice{0};
  std::atomic<bool> eventsSetAtStart{true};
  ReceiverService::CWaitEvent started, ask, answered;
};

// Stop and wait on a thread never started return at once; a second Start of a running thread
// does nothing; a finished thread starts again with both events reset.
TEST(ThreadBase, StartsOnceAtATimeAndAgainWithBothEventsReset) {
  WatchedThread thread;
  thread.Stop();
  thread.WaitForEnd();
  EXPECT_FALSE(thread.StopEvent().IsSet());
  for (int round = 1; round <= 2; ++round) {
    thread.Start();
    ASSERT_TRUE(thread.started.Wait(kTestWaitMs));
    EXPECT_FALSE(thread.eventsSetAtStart.load());
    thread.Start();
    EXPECT_TRUE(thread.IsRunning());
    thread.Stop();
    thread.WaitForEnd();
    EXPECT_EQ(thread.runs.load(), round);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.StopEvent().IsSet());
    EXPECT_TRUE(thread.FinishedEvent().IsSet());
  }
}

TEST(ThreadBase, PriorityIsSettableWhileRunning) {
  WatchedThread thread;
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

class RecordingSink : public IDiagnosticSink {
 public:
  void Write(const char* text) override { lines.emplace_back(text); }
  std::vector<std::string> lines;
};

// Reports name the code and the message; texts are cut at 4095 characters; a removed sink
// gets nothing more.
TEST(ExceptionReport, ReportsCodeAndMessageToTheSinkWhileItIsInstalled) {
  RecordingSink sink;
  SetDiagnosticSink(&sink);
  CSocketLibException(7, "queue full").Report();
  CSocketLibException(0, "").Report();
  CSocketException(ECONNREFUSED).Report();
  DiagnosticLog("%s", std::string(5000, 'x').c_str());
  SetDiagnosticSink(nullptr);
  CSocketLibException(1, "dropped").Report();
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines[0], "Exception (Error code = 7) : queue full\n");
  EXPECT_EQ(sink.lines[1], "Exception (Error code = 0) : <null>\n");
  EXPECT_FALSE(SystemErrorText(ECONNREFUSED).empty());
  EXPECT_EQ(sink.lines[2],
            "Exception (Error code = " + std::to_string(ECONNREFUSED) + ") : " + SystemErrorText(ECONNREFUSED) + "\n");
  EXPECT_EQ(sink.lines[3].size(), 4095u);
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>
#include <vector>

#include "log/Logger.h"
#include "tests/service/SmtpSink.h"
#include "tests/service/TestFiles.h"

namespace {

// Tells the test when the writer has written a batch, so tests wait for what they need to
// see instead of sleeping.
class BatchListener : public LogChangedIntf {
 public:
  void OnLogChanged() override {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_batches;
    m_changed.notify_all();
  }
  // Waits (at most a generous bound) until done() holds after a batch.
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return done(); });
  }
  // For WaitFor predicates, which run with the lock held.
  int BatchesSoFar() const { return m_batches; }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_batches = 0;
};

LogEntry Entry(const char* message, uint16_t flags = kLogDiagnostic) {
  LogEntry e;
  e.sourceFile = "Receiver.cpp";
  e.sourceLine = 1234;
  e.flags = flags;
  e.message = message;
  e.time.month = 3;
  e.time.day = 7;
  e.time.hour = 9;
  e.time.minute = 5;
  e.time.second = 2;
  e.time.milliseconds = 45;
  return e;
}

// A file of `size` bytes made of numbered lines ending in CRLF.
std::string NumberedLines(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + " of an older log\r\n";
  text.resize(size);
  return text;
}

// A logger on a log file in a fresh directory, with a listener to wait on.
class LoggerFile : public ::testing::Test {
 protected:
  CLogger& Open(uint16_t mask) {
    logger = std::make_unique<CLogger>(&listener);
    EXPECT_TRUE(logger->Open(path));
    logger->SetMask(mask);
    return *logger;
  }

  TempDir dir;
  BatchListener listener;
  const std::string path = dir.File("service.log");
  std::unique_ptr<CLogger> logger;  // destroyed first
};
class Logger : public LoggerFile {};
class LoggerTrim : public LoggerFile {};
class LoggerMail : public LoggerFile {};

TEST(LoggerFormat, LinesAreByteExactInBothForms) {
  EXPECT_EQ(CLogger::FormatLine(17, kLogDiagnostic, Entry("hello")), "17: (3/7 9:05:02.045) - hello");
  EXPECT_EQ(CLogger::FormatLine(1, kLogDiagnostic | kLogSourceLocation, Entry("hello")),
            "1: (3/7 9:05:02.045) - Receiver.cpp(1234) : hello");
  LogEntry wide = Entry("x");
  wide.time.month = 12;
  wide.time.day = 31;
  wide.time.hour = 23;
  wide.time.minute = 59;
  wide.time.second = 59;
  wide.time.milliseconds = 999;
  EXPECT_EQ(CLogger::FormatLine(4000000000u, kLogDiagnostic, wide), "4000000000: (12/31 23:59:59.999) - x");
}

TEST_F(Logger, MaskFiltersAtWriteTimeAndOnlyWrittenLinesAdvanceTheNumber) {
  CLogger& logger = Open(0);
  logger.SetMask(kLogMilestone);
  logger.Log("a.cpp", 2, kLogDiagnostic, "dropped by the mask");
  logger.Log("a.cpp", 3, kLogMilestone, "%s - %u", "Grüße", 42u);
  logger.Log("a.cpp", 4, kLogPacket, "dropped as well");
  logger.Log("a.cpp", 5, kLogMilestone | kLogDiagnostic, "shares a bit");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() == 2; }));

  const auto lines = LogLines(path);  // UTF-8, each line ending in CRLF
  EXPECT_EQ(lines[0].substr(0, 4), "1: (");
  EXPECT_NE(lines[0].find(") - Grüße - 42"), std::string::npos);
  EXPECT_EQ(lines[1].substr(0, 4), "2: (");
  EXPECT_NE(lines[1].find("shares a bit"), std::string::npos);
  EXPECT_EQ(ReadFile(path).find("dropped"), std::string::npos);
}

TEST_F(Logger, ABurstOfTwentyLinesIsWrittenInBatchesOfEightWithoutAnotherCall) {
  CLogger& logger = Open(kLogDiagnostic);
  for (int i = 0; i < 20; ++i) logger.Log("a.cpp", 1, kLogDiagnostic, "burst %d", i);
  // Eight lines at most per batch: all twenty take at least three reported batches.
  ASSERT_TRUE(listener.WaitFor([&] { return listener.BatchesSoFar() >= 3 && LogLines(path).size() == 20; }));
  const auto lines = LogLines(path);
  for (int i = 0; i < 20; ++i) EXPECT_NE(lines[i].find("burst " + std::to_string(i)), std::string::npos) << i;
}

// Destruction drains the queue, through the mask (0 until set: nothing is written).
TEST_F(Logger, DestructionWritesWhatIsStillQueuedAndTheMaskLets) {
  for (const uint16_t mask : {uint16_t(0), uint16_t(kLogDiagnostic)}) {
    {
      CLogger logger(nullptr);
      ASSERT_TRUE(logger.Open(path));
      if (mask) logger.SetMask(mask);
      for (int i = 0; i < 100; ++i) logger.Log("a.cpp", 1, kLogMilestone | kLogDiagnostic, "line %d", i);
    }
    EXPECT_EQ(LogLines(path).size(), mask ? 100u : 0u);
  }
}

TEST_F(LoggerTrim, AFileOf150000BytesKeepsItsNewestLinesOnOpenOrNoneWithoutALineBreak) {
  const std::string old = NumberedLines(150000 - 2) + "\r\n";
  WriteFile(path, old);
  CLogger logger(nullptr);
  ASSERT_TRUE(logger.Open(path));
  logger.Close();
  const std::string kept = ReadFile(path);
  EXPECT_LE(kept.size(), 50000u);
  EXPECT_GT(kept.size(), 49000u);
  // A line boundary at the start, and the newest bytes at the end.
  EXPECT_EQ(old.compare(old.size() - kept.size(), kept.size(), kept), 0);
  EXPECT_EQ(old[old.size() - kept.size() - 1], '\n');

  // Without a line break there is no line to keep.
  WriteFile(path, std::string(120000, 'x'));
  ASSERT_TRUE(logger.Open(path));
  logger.Close();
  EXPECT_EQ(ReadFile(path).size(), 0u);
}

TEST_F(LoggerTrim, AFileOf90000BytesIsAppendedTo) {
  const std::string old = NumberedLines(90000 - 2) + "\r\n";
  WriteFile(path, old);
  CLogger& logger = Open(kLogDiagnostic);
  logger.Log("a.cpp", 1, kLogDiagnostic, "appended");
  ASSERT_TRUE(listener.WaitFor([&] { return ReadFile(path).size() > old.size(); }));
  const std::string now = ReadFile(path);
  EXPECT_EQ(now.compare(0, old.size(), old), 0);
  EXPECT_NE(now.find("1: (", old.size()), std::string::npos);
}

TEST_F(LoggerTrim, AFilePastFourMillionBytesIsTrimmedBeforeTheNextLineAndNumbersRestart) {
  CLogger& logger = Open(kLogDiagnostic);
  logger.Log("a.cpp", 1, kLogDiagnostic, "first");
  logger.Log("a.cpp", 1, kLogDiagnostic, "second");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() == 2; }));

  // Someone else grows the file to exactly 4,000,001 bytes.
  {
    std::ofstream grow(path, std::ios::binary | std::ios::app);
    grow << NumberedLines(4000001 - ReadFile(path).size() - 2) << "\r\n";
  }
  ASSERT_EQ(ReadFile(path).size(), 4000001u);
  logger.Log("a.cpp", 1, kLogDiagnostic, "after the trim");
  ASSERT_TRUE(listener.WaitFor([&] { return ReadFile(path).find("after the trim") != std::string::npos; }));
  const std::string text = ReadFile(path);
  EXPECT_LT(text.size(), 51000u);
  const auto lines = LogLines(path);
  EXPECT_EQ(lines.back().substr(0, 3), "1: ");
}

TEST_F(LoggerMail, ASentLogIsEmptiedAndNumberingRestarts) {
  ScopedRegistry registry(dir.File("registry.ini"));
  SmtpSink sink;
  CLogger& logger = Open(kLogDiagnostic);
  logger.Log("a.cpp", 1, kLogDiagnostic, "something worth mailing");
  logger.Log("a.cpp", 1, kLogDiagnostic, "a dot line follows\r\n.\r\nand more");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() >= 2; }));

  LogMailSettings mail{"127.0.0.1:" + std::to_string(sink.Port()), "teacher@example.org"};
  EXPECT_TRUE(logger.EmailLog(mail));
  EXPECT_EQ(ReadFile(path).size(), 0u);
  ASSERT_EQ(sink.Mails().size(), 1u);
  const std::string sent = sink.Mails()[0];
  EXPECT_NE(sent.find("Subject: Ovanta Hardware Service Debugging Log"), std::string::npos);
  EXPECT_NE(sent.find("Below is a plain text log detailing the activities of the Ovanta Hardware Service."),
            std::string::npos);
  EXPECT_NE(sent.find("something worth mailing"), std::string::npos);
  EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos);  // a lone dot would end the mail early
  EXPECT_NE(sink.Envelope().at(1).find("teacher@example.org"), std::string::npos);

  // Nothing new since the mail: nothing is sent.
  EXPECT_FALSE(logger.EmailLog(mail));
  logger.Log("a.cpp", 1, kLogDiagnostic, "after the mail");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() == 1; }));
  EXPECT_EQ(LogLines(path)[0].substr(0, 3), "1: ");
}

TEST_F(LoggerMail, AFailedSendKeepsTheFileAndAppends) {
  ScopedRegistry registry(dir.File("registry.ini"));
  CLogger& logger = Open(kLogDiagnostic);
  logger.Log("a.cpp", 1, kLogDiagnostic, "kept after a failed mail");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() == 1; }));

  int closedPort;
  {
    SmtpSink gone;  // a port that nothing listens on once the sink is gone
    closedPort = gone.Port();
  }
  EXPECT_FALSE(logger.EmailLog({"127.0.0.1:" + std::to_string(closedPort), "teacher@example.org"}));
  logger.Log("a.cpp", 1, kLogDiagnostic, "appended after");
  ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() == 2; }));
  const auto lines = LogLines(path);
  EXPECT_NE(lines[0].find("kept after a failed mail"), std::string::npos);
  EXPECT_NE(lines[1].find("appended after"), std::string::npos);
}

// Threads of the client library and the receivers log while the service shuts down: the logger
// is taken out of the slot and destroyed meanwhile. Under ASan a log call that reached the
// destroyed logger is a use after free.
TEST(LoggerSlot, ThreadsLoggingAcrossTheShutdownNeverReachADestroyedLogger) {
  TempDir dir;
  for (int round = 0; round < 20; ++round) {
    auto* logger = new CLogger(nullptr);
    ASSERT_TRUE(logger->Open(dir.File("service.log")));
    logger->SetMask(kLogDiagnostic);
    g_pLogger = logger;
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
          while (!stop.load()) {
            OV_LOG(kLogDiagnostic, "round %d", round);
            ++calls;
          }
        });
      while (calls.load() < 50) std::this_thread::yield();  // every thread is logging by now, or soon
      delete g_pLogger.exchange(nullptr);
      stop = true;
    }
    EXPECT_EQ(g_pLogger.load(), nullptr);
  }
}

}  // namespace

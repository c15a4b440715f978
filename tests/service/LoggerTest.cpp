#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/Logger.h"
#include "platform/FilePath.h"
#include "tests/service/SmtpSink.h"
#include "tests/service/TestFiles.h"

namespace {

// Counts the writer's batches so that tests wait for what they need to see instead of sleeping.
struct BatchListener : LogChangedIntf {
  void OnLogChanged() override {
    std::lock_guard guard(lock);
    ++batches;
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), done);
  }
  std::mutex lock;
  std::condition_variable changed;
  int batches = 0;  // read by WaitFor predicates, which run under the lock
};

std::string NumberedLines(size_t size) {  // ending in CRLF
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "line " + std::to_string(i) + " of an older log\r\n";
  text.resize(size - 2);
  return text + "\r\n";
}

class Logger : public ::testing::Test {
 protected:
  CLogger& Open(uint16_t mask = kLogDiagnostic) {
    logger = std::make_unique<CLogger>(&listener);
    EXPECT_TRUE(logger->Open(path));
    logger->SetMask(mask);
    return *logger;
  }
  bool WaitLines(size_t n) {
    return listener.WaitFor([&] { return LogLines(path).size() == n; });
  }

  TempDir dir;
  BatchListener listener;
  const std::string path = dir.File("service.log");
  std::unique_ptr<CLogger> logger;  // destroyed first
};

TEST(LoggerFormat, LinesAreByteExactInBothForms) {
  LogEntry e;
  e.sourceFile = "Receiver.cpp";
  e.sourceLine = 1234;
  e.message = "hello";
  e.time = {.month = 3, .day = 7, .hour = 9, .minute = 5, .second = 2, .milliseconds = 45};
  EXPECT_EQ(CLogger::FormatLine(17, kLogDiagnostic, e), "17: (3/7 9:05:02.045) - hello");
  EXPECT_EQ(CLogger::FormatLine(1, kLogDiagnostic | kLogSourceLocation, e),
            "1: (3/7 9:05:02.045) - Receiver.cpp(1234) : hello");
}

// The mask (0 until set) is applied when a line is written, and only written lines advance the
// number; a burst needs no further call; destruction writes what is still queued.
TEST_F(Logger, MaskNumberingAndDestruction) {
  {
    CLogger unmasked(nullptr);
    ASSERT_TRUE(unmasked.Open(path));
    for (int i = 0; i < 100; ++i) unmasked.Log("a.cpp", 1, kLogMilestone | kLogDiagnostic, "line %d", i);
  }
  EXPECT_EQ(ReadFile(path), "");
  CLogger& log = Open(kLogMilestone);
  log.Log("a.cpp", 2, kLogDiagnostic, "dropped by the mask");
  log.Log("a.cpp", 3, kLogMilestone, "%s - %u", "Grüße", 42u);
  log.Log("a.cpp", 4, kLogPacket, "dropped as well");
  log.Log("a.cpp", 5, kLogMilestone | kLogDiagnostic, "shares a bit");
  ASSERT_TRUE(WaitLines(2));
  const auto lines = LogLines(path);
  EXPECT_EQ(lines[0].substr(0, 4), "1: (");
  EXPECT_NE(lines[0].find(") - Grüße - 42"), std::string::npos);
  EXPECT_EQ(lines[1].substr(0, 4), "2: (");
  EXPECT_NE(lines[1].find("shares a bit"), std::string::npos);
  EXPECT_EQ(ReadFile(path).find("dropped"), std::string::npos);
  // A burst is written in batches of eight, each batch told, without another call.
  for (int i = 0; i < 20; ++i) log.Log("a.cpp", 1, kLogMilestone, "burst %d", i);
  ASSERT_TRUE(listener.WaitFor([&] { return listener.batches >= 4 && LogLines(path).size() == 22; }));
  EXPECT_NE(LogLines(path)[21].find("22: ("), std::string::npos);
  EXPECT_NE(LogLines(path)[21].find("burst 19"), std::string::npos);
  for (int i = 0; i < 100; ++i) log.Log("a.cpp", 1, kLogMilestone | kLogDiagnostic, "line %d", i);
  logger.reset();
  EXPECT_EQ(LogLines(path).size(), 122u);
}

// On opening, a file past 100,000 bytes keeps its newest whole lines; a smaller one is appended
// to. Past 4,000,000 bytes the file is trimmed before the next line, whose number is 1 again.
TEST_F(Logger, TrimmingTheFile) {
  const std::string old = NumberedLines(150000);
  WriteFile(path, old);
  CLogger logger(nullptr);
  ASSERT_TRUE(logger.Open(path));
  logger.Close();
  const std::string kept = ReadFile(path);
  EXPECT_LE(kept.size(), 50000u);
  EXPECT_GT(kept.size(), 49000u);
  EXPECT_EQ(old.compare(old.size() - kept.size(), kept.size(), kept), 0);
  EXPECT_EQ(old[old.size() - kept.size() - 1], '\n');

  const std::string small = NumberedLines(90000);
  WriteFile(path, small);
  CLogger& appending = Open();
  appending.Log("a.cpp", 1, kLogDiagnostic, "appended");
  appending.Log("a.cpp", 1, kLogDiagnostic, "second");
  ASSERT_TRUE(listener.WaitFor([&] { return ReadFile(path).find("2: (", small.size()) != std::string::npos; }));
  const std::string now = ReadFile(path);
  EXPECT_EQ(now.compare(0, small.size(), small), 0);
  EXPECT_NE(now.find("1: (", small.size()), std::string::npos);

  {  // someone else grows the file to exactly 4,000,001 bytes
    std::ofstream grow(path, std::ios::binary | std::ios::app);
    grow << NumberedLines(4000001 - now.size());
  }
  ASSERT_EQ(ReadFile(path).size(), 4000001u);
  appending.Log("a.cpp", 1, kLogDiagnostic, "after the trim");
  ASSERT_TRUE(listener.WaitFor([&] { return ReadFile(path).find("after the trim") != std::string::npos; }));
  EXPECT_LT(ReadFile(path).size(), 51000u);
  EXPECT_EQ(LogLines(path).back().substr(0, 3), "1: ");
}

// A log in a folder whose name is not ASCII ("Müller") is that file, made, appended to and
// trimmed there (a path read in another code page would name another file, or none).
TEST_F(Logger, APathOutsideAsciiNamesThatFile) {
  const std::string folder = dir.File("Protokolle") + "/M\xC3\xBCller";
  const std::string file = folder + "/hw.log";
  const auto read = [&] {
    std::ostringstream text;
    text << std::ifstream(Platform::Utf8Path(file), std::ios::binary).rdbuf();
    return text.str();
  };
  {
    CLogger log(nullptr);
    ASSERT_TRUE(log.Open(file));
    log.SetMask(kLogDiagnostic);
    log.Log("a.cpp", 1, kLogDiagnostic, "first");
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Platform::Utf8Path(dir.File("Protokolle"))))
    names.push_back(Platform::Utf8Text(entry.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"M\xC3\xBCller"});
  EXPECT_NE(read().find(") - first"), std::string::npos);

  std::ofstream(Platform::Utf8Path(file), std::ios::binary | std::ios::trunc) << NumberedLines(150000);
  {
    CLogger log(nullptr);
    ASSERT_TRUE(log.Open(file));
    log.SetMask(kLogDiagnostic);
    log.Log("a.cpp", 1, kLogDiagnostic, "after the trim");
  }
  const std::string kept = read();
  EXPECT_LT(kept.size(), 51000u);
  EXPECT_NE(kept.find("1: ("), std::string::npos);
  EXPECT_NE(kept.find("after the trim"), std::string::npos);
}

// A sent log is emptied and numbered from 1 again; nothing new, nothing sent; a failed send
// keeps the file and appends to it.
TEST_F(Logger, MailingTheLog) {
  ScopedRegistry registry(dir.File("registry.ini"));
  CLogger& logger = Open();
  int port;
  {
    SmtpSink sink;
    port = sink.Port();
    logger.Log("a.cpp", 1, kLogDiagnostic, "something worth mailing");
    logger.Log("a.cpp", 1, kLogDiagnostic, "a dot line follows\r\n.\r\nand more");
    ASSERT_TRUE(listener.WaitFor([&] { return LogLines(path).size() >= 2; }));
    const LogMailSettings mail{"127.0.0.1:" + std::to_string(port), "teacher@example.org"};
    EXPECT_TRUE(logger.EmailLog(mail));
    EXPECT_EQ(ReadFile(path).size(), 0u);
    const std::string sent = sink.Received();
    const size_t data = sent.find("\r\nDATA\r\n");
    EXPECT_TRUE(data != std::string::npos && data == sent.rfind("\r\nDATA\r\n")) << sent;  // one mail
    EXPECT_NE(sent.find("RCPT TO:<teacher@example.org>\r\n"), std::string::npos);
    EXPECT_NE(sent.find("Subject: Ovanta Hardware Service Debugging Log"), std::string::npos);
    EXPECT_NE(sent.find("Below is a plain text log detailing the activities of the Ovanta Hardware Service."),
              std::string::npos);
    EXPECT_NE(sent.find("something worth mailing"), std::string::npos);
    EXPECT_EQ(sent.find("\r\n..\r\n"), std::string::npos);  // a lone dot, which would end the mail early
    EXPECT_FALSE(logger.EmailLog(mail));
    logger.Log("a.cpp", 1, kLogDiagnostic, "kept after a failed mail");
    ASSERT_TRUE(WaitLines(1));
    EXPECT_EQ(LogLines(path)[0].substr(0, 3), "1: ");
  }
  EXPECT_FALSE(logger.EmailLog({"127.0.0.1:" + std::to_string(port), "teacher@example.org"}));  // nobody listens
  logger.Log("a.cpp", 1, kLogDiagnostic, "appended after");
  ASSERT_TRUE(WaitLines(2));
  EXPECT_NE(LogLines(path)[0].find("kept after a failed mail"), std::string::npos);
  EXPECT_NE(LogLines(path)[1].find("appended after"), std::string::npos);
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
    // Not a std::latch: the Windows build's C++ library can miss a latch's wake-up.
    std::mutex lock;
    std::condition_variable counted;
    int logging = 0;
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
          OV_LOG(kLogDiagnostic, "round %d", round);
          {
            std::lock_guard<std::mutex> guard(lock);
            ++logging;
          }
          counted.notify_all();
          while (!stop.load()) OV_LOG(kLogDiagnostic, "round %d", round);
        });
      {  // every thread has logged and goes on logging
        std::unique_lock<std::mutex> guard(lock);
        counted.wait(guard, [&] { return logging == 3; });
      }
      delete g_pLogger.exchange(nullptr);
      stop = true;
    }
    EXPECT_EQ(g_pLogger.load(), nullptr);
  }
}

}  // namespace

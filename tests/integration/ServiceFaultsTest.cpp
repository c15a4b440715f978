// The service binary when the software service fails it with replies that are 10 MB long,
// longer than the client takes, or never come. The service must log every broken exchange, keep
// serving the good ones, stay within bounded memory with no thread spinning, and still stop on
// SIGTERM. (Replies that cannot be read are the faults replay transcript, a software service
// stopped mid-lesson and started again the service-restart one: tests/replay/scenarios.)
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceLog.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"
#include "tools/service-sim/SimText.h"

namespace {

constexpr double kWait = 60;
// The service's peak memory in these tests: about 105 MB with 10 MB replies in a plain build;
// AddressSanitizer takes about four times that, ThreadSanitizer about five.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakBoundKb = 1024 * 1024;
#elif defined(__SANITIZE_THREAD__)
constexpr long kPeakBoundKb = 1536 * 1024;
#else
constexpr long kPeakBoundKb = 256 * 1024;
#endif
constexpr size_t kHugeBody = 10u << 20;
const std::string kHelloPath = "/voxlet/builtins/anyone/hello";
const std::string kWhois = "/voxlet/builtins/teachers/whois";

ServiceSim::SimReply Reply(int status, const std::string& type, const std::string& body) {
  ServiceSim::SimReply reply;
  reply.status = status;
  reply.contentType = type;
  reply.body = body;
  return reply;
}
const ServiceSim::SimReply kHugeNotXml =
    Reply(200, "text/xml", "<?xml version=\"1.0\"?><voxlet:runtime><unclosed" + std::string(kHugeBody, '<'));
const ServiceSim::SimReply kHugeError = Reply(500, "text/plain", std::string(kHugeBody, 'e'));

// The service binary, a receiver with two clickers and the software-service simulator, whose
// replies the test breaks; the receiver's endpoint is subscribed and the activated status asked
// for.
class BrokenReplies : public ::testing::Test {
 protected:
  void SetUp() override {
    SimulatorConfig config;
    config.clickers = 2;
    receiver = std::make_unique<CReceiverSimulator>(config);
    ASSERT_TRUE(receiver->Start());
    ASSERT_TRUE(service.Start(0));
    KeepDescriptorsFromChildren();
    process = std::make_unique<ChildProcess>(
        std::vector<std::string>{OVANTA_HARDWARE_EXE, "-d"},
        ServiceEnvironment(dir, dir.File("service.log"), 17, receiver->SlavePath(), service.Uri()));
    ASSERT_TRUE(process->Started());
    log = std::make_unique<ServiceLog>(*process, kWait);
    ASSERT_TRUE(Wait([&] { return manager.Count("activatedStatus") > 0 && ReceiverReported(false); })) << log->Text();
  }
  bool Wait(const std::function<bool()>& done) { return manager.WaitFor(done, kWait); }
  bool ReceiverReported(bool networkUp) {
    for (const auto& [id, e] : manager.Endpoints())
      if (e.kind == "receiver" && e.subscribed && e.networkUp == networkUp) return true;
    return false;
  }
  // The peak stays well under what keeping a few big replies (or logging them whole) would take;
  // SIGTERM stops the service, which exits cleanly.
  void BoundedAndStopsOnSigterm() {
    const long peakKb = ProcessKb(process->Pid(), "VmHWM:");
    RecordProperty("PeakKb", std::to_string(peakKb));
    EXPECT_GT(peakKb, 0);
    EXPECT_LT(peakKb, kPeakBoundKb);
    EXPECT_LT(log->LongestLine(), kHugeBody / 4);
    process->Signal(SIGTERM);
    ASSERT_TRUE(log->WaitFor("Receiver service stopped.")) << log->Text();
    EXPECT_EQ(process->Wait(), 0) << log->Text();  // a sanitizer's report at exit fails it too
    EXPECT_EQ(log->Count("Sanitizer"), 0u) << log->Text();
  }

  TempDir dir;
  ServiceSim::ServiceSimulator service{SampleLessonWithoutTimeline()};
  ServiceSim::SessionManager& manager = service.Manager();
  std::unique_ptr<CReceiverSimulator> receiver;
  // The service before its log reader (which kills it if the test ends early).
  std::unique_ptr<ChildProcess> process;
  std::unique_ptr<ServiceLog> log;
};

// Replies of 10 MB that cannot be used (what the service does with broken replies is the faults
// replay transcript): each is logged in a line of bounded length, nothing of them stays, and the
// next good reply is served. The student a whois names in its header counts whatever the
// reply's content type.
TEST_F(BrokenReplies, BigRepliesAreLoggedAndForgottenAndAWhoisIsReadByItsHeader) {
  service.OverrideReply(kHelloPath, kHugeNotXml);
  ASSERT_TRUE(log->WaitFor("Notifications not read")) << log->Text();
  service.OverrideReply("", {});
  manager.SetNetworkName("Broken 1");
  ASSERT_TRUE(log->WaitFor("classroom name is \"Broken 1\"")) << log->Text();

  ASSERT_TRUE(manager.ActivateClass("class-1"));
  ASSERT_TRUE(Wait([&] { return ReceiverReported(true); })) << log->Text();
  service.OverrideReply(kWhois, kHugeError);
  ASSERT_TRUE(receiver->Join(0, "1001"));
  ASSERT_TRUE(log->WaitFor("whois failed; booting clicker")) << log->Text();
  ASSERT_TRUE(receiver->WaitForClickers(
      [](const std::map<int, ClickerInfo>& c) { return c.at(0).state == ClickerState::Refused; }, 60000));
  ServiceSim::SimReply named = Reply(200, "text/html", "<x/>");
  named.headers.emplace_back(ServiceSim::kStudentHeader, "s-1001");
  service.OverrideReply(kWhois, named);
  ASSERT_TRUE(receiver->Join(0, "1001"));
  ASSERT_TRUE(Wait([&] {
    for (const auto& r : manager.Requests())
      if (r.route == "signin" && r.headers.count("x-vantrel-voxlet-student") &&
          r.headers.at("x-vantrel-voxlet-student") == "s-1001")
        return true;
    return false;
  })) << log->Text();
  BoundedAndStopsOnSigterm();
}

TEST_F(BrokenReplies, AReplyTooLongOrNeverFinishedIsGivenUpWithNoThreadSpinningAndTheNextGoodReplyIsServed) {
  // A body longer than the client takes: refused, the connection made again, the next
  // notification handled. (Read whole, it would be taken for a notification that cannot be read.)
  ServiceSim::SimReply tooLong;
  const size_t length = (64u << 20) + 1;
  tooLong.raw = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" +
                std::string(length, ' ');
  service.OverrideReply(kHelloPath, tooLong);
  ASSERT_TRUE(log->WaitFor("Disconnected from session manager")) << log->Text();
  service.OverrideReply("", {});
  EXPECT_EQ(log->Count("Notifications not read"), 0u) << log->Text();
  // Back: the notifications of the hello that subscribes again are not read (the activated
  // status is asked for instead), so the next one is queued after that.
  ASSERT_TRUE(log->WaitFor("Getting the server activated status...", 2)) << log->Text();
  manager.SetNetworkName("After the long one");
  ASSERT_TRUE(log->WaitFor("classroom name is \"After the long one\"")) << log->Text();

  // A poll never answered: the service waits for it without a thread spinning and without
  // piling up polls behind it, gives up on it, logs it and carries on.
  const std::string poll = kHelloPath + "?subject=urn%3Acom.vantrel.voxlet%3Areceiver HTTP/1.1";
  const size_t disconnects = log->Count("Disconnected from session manager"), polls = log->Count(poll),
               asked = log->Count("Getting the server activated status...");
  service.Server().HoldReplies(kHelloPath);
  ASSERT_TRUE(service.Server().WaitHeld(1, kWait));
  const auto waitStart = std::chrono::steady_clock::now();
  const long cpuBefore = ProcessCpuMs(process->Pid());
  ASSERT_TRUE(log->WaitFor("Disconnected from session manager", disconnects + 1)) << log->Text();
  const long cpuMs = ProcessCpuMs(process->Pid()) - cpuBefore;
  const auto waitedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - waitStart).count();
  service.Server().HoldReplies("");
  service.Server().ReleaseHeld();
  EXPECT_LT(cpuMs, waitedMs * 40 / 100) << cpuMs << " ms of CPU in " << waitedMs << " ms";
  ASSERT_TRUE(log->WaitFor("Getting the server activated status...", asked + 1)) << log->Text();
  manager.SetNetworkName("After the stall");
  ASSERT_TRUE(log->WaitFor("classroom name is \"After the stall\"")) << log->Text();
  // A few failed polls said per broken reply, not one per tick spent waiting on it.
  EXPECT_LE(log->Count(poll) - polls, 6u) << log->Text();
  BoundedAndStopsOnSigterm();
}

}  // namespace

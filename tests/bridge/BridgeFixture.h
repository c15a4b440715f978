#pragma once
// A receiver on a simulated receiver's pseudo-terminal, connected to the simulated software
// service; the test drives the client's ticks itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/ReceiverSession.h"
#include "client/XmlSchema.h"
#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "log/Logger.h"
#include "platform/Registry.h"
#include "protocol/Receiver.h"
#include "tests/protocol/ReceiverFixtures.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

// A session whose class-lifecycle and clicker hand-overs are recorded, in the order they came.
class RecordingSession : public CReceiverSession {
 public:
  RecordingSession(CReceiver& receiver, SessionEnvironment environment)
      : CReceiverSession(receiver, std::move(environment)), m_recordingSteps(*this), m_recordingClickers(*this) {
    UseClassSteps(m_recordingSteps);
    UseClassClickers(m_recordingClickers);
  }
  ~RecordingSession() override { Close(); }

  bool switchingClasses = false;  // what StopClass answers unless the lifecycle runs
  // Without runLifecycle the class and assessment hand-overs are only recorded and the activated
  // status is not acted on; without realClickers `clickers` stands in for the clicker registry.
  bool runLifecycle = false;
  std::vector<KnownClicker> clickers;
  bool realClickers = false;

  bool PassCommandLock() {  // the lock every receiver command of the session takes
    return IssueReceiverCommands([](CReceiverProtocolHandler&) {});
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_calls;
  }
  bool WaitForCalls(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_calls.size() >= count; });
  }
  // Holds the lifecycle worker once it has run what was posted to it so far, until the hold ends
  // (Release, or its end).
  class LifecycleHold {
   public:
    explicit LifecycleHold(RecordingSession& session) {
      std::shared_future<void> released = m_release.get_future().share();
      session.PostToLifecycle([released] { released.wait(); });
    }
    ~LifecycleHold() { Release(); }
    LifecycleHold(const LifecycleHold&) = delete;
    LifecycleHold& operator=(const LifecycleHold&) = delete;
    void Release() {
      if (!m_released) m_release.set_value();
      m_released = true;
    }

   private:
    std::promise<void> m_release;
    bool m_released = false;
  };
  // Waits until the lifecycle worker has run what was posted to it so far.
  bool DrainLifecycle() {
    auto ran = std::make_shared<std::promise<void>>();
    std::future<void> done = ran->get_future();
    if (!PostToLifecycle([ran] { ran->set_value(); })) return false;
    return done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  }

 protected:
  // The receiver's departure hand-over (the goodbye and the class switch fake them), recorded.
  void OnDeviceDisassociated(uint16_t address) override {
    Record("disassociated", std::to_string(address));
    if (realClickers) CReceiverSession::OnDeviceDisassociated(address);
  }

 private:
  // The lifecycle's steps as the notifications and the activated status reach them, recorded;
  // taken only with runLifecycle.
  class RecordingSteps : public IClassSteps {
   public:
    explicit RecordingSteps(RecordingSession& session) : m_session(session) {}
    void OnActivatedStatusResponse(const Voxlet::MessagePtr& message) override {
      if (m_session.runLifecycle) Real().OnActivatedStatusResponse(message);
    }
    void ActivateAssessment(xercesc::DOMElement* ref) override {
      m_session.Record("activate assessment", Id(ref, u"assessmentid"));
      if (m_session.runLifecycle) Real().ActivateAssessment(ref);
    }
    void DeactivateAssessment(xercesc::DOMElement* ref) override {
      m_session.Record("deactivate assessment", Id(ref, u"assessmentid"));
      if (m_session.runLifecycle) Real().DeactivateAssessment(ref);
    }
    bool StopClass(xercesc::DOMElement* ref) override {
      m_session.Record("stop class", Id(ref, u"classid"));
      return m_session.runLifecycle ? Real().StopClass(ref) : m_session.switchingClasses;
    }
    void ActivateQuestion(const Voxlet::StringBuffer& id) override {
      m_session.Record("activate question", Voxlet::UTF16to8(id));
      if (m_session.runLifecycle) Real().ActivateQuestion(id);
    }
    void SetClassroomName(const Voxlet::StringBuffer& name) override {
      m_session.Record("classroom name", Voxlet::UTF16to8(name));
      if (m_session.runLifecycle) Real().SetClassroomName(name);
    }

   private:
    IClassSteps& Real() const { return m_session.ClassLifecycle(); }
    RecordingSession& m_session;
  };

  // What the lifecycle, the notifications and the goodbye do with the clickers, recorded; passed
  // on to the clicker endpoints only with realClickers.
  class RecordingClickers : public IClassClickers {
   public:
    explicit RecordingClickers(RecordingSession& session) : m_session(session) {}
    std::vector<uint16_t> ShortAddresses() const override {
      return m_session.realClickers ? Real().ShortAddresses() : std::vector<uint16_t>{0x0101, 0x0102};
    }
    std::vector<KnownClicker> KnownClickers() const override {
      return m_session.realClickers ? Real().KnownClickers() : m_session.clickers;
    }
    void Clear() override { Real().Clear(); }
    void RejoinWithoutLogin(uint16_t address, uint32_t macHigh, uint32_t macLow) override {
      m_session.Record("rejoin", std::to_string(address));
      if (m_session.realClickers) Real().RejoinWithoutLogin(address, macHigh, macLow);
    }
    void DisconnectClickerInSoftware(const Voxlet::StringBuffer& id) override {
      m_session.Record("disconnect clicker", Voxlet::UTF16to8(id));
      if (m_session.realClickers) Real().DisconnectClickerInSoftware(id);
    }
    void CancelRaisedHandInSoftware(const Voxlet::StringBuffer& id) override {
      m_session.Record("cancel raised hand", Voxlet::UTF16to8(id));
      if (m_session.realClickers) Real().CancelRaisedHandInSoftware(id);
    }

   private:
    IClassClickers& Real() const { return m_session.ClickerEndpoints(); }
    RecordingSession& m_session;
  };

  static std::string Id(xercesc::DOMElement* ref, const char16_t* name) {
    return Voxlet::UTF16to8(Voxlet::XmlSchema::GetAttribute(ref, u"voxlet:" + Voxlet::StringBuffer(name)));
  }
  void Record(const std::string& what, const std::string& argument) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_calls.push_back(what + " " + argument);
    m_changed.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_calls;
  RecordingSteps m_recordingSteps;
  RecordingClickers m_recordingClickers;
};

using Packets = std::vector<Bytes>;

inline size_t CountOf(const Packets& packets, const Bytes& packet) {
  return static_cast<size_t>(std::count(packets.begin(), packets.end(), packet));
}

// The packets of a command to an address, in the order received.
inline Packets OfCommand(const Packets& packets, uint8_t command, uint16_t address = 0) {
  Packets found;
  for (const Bytes& p : packets)
    if (p.size() >= 3 && p[2] == command && ((p[0] << 8) | p[1]) == address) found.push_back(p);
  return found;
}

inline size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// For state only visible from outside by looking (the client's own reconnection): polls for up
// to twenty seconds.
inline bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() : BridgeTest(ServiceSim::Scenario{}) {}
  explicit BridgeTest(ServiceSim::Scenario scenario) : service(std::move(scenario)) {}

  void SetUp() override {
    char path[] = "/tmp/ovanta-bridge-log-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    logPath = path;
    logger = std::make_unique<CLogger>(nullptr);
    logger->Open(logPath);
    logger->SetMask(kLogMilestone | kLogPacket | kLogDiagnostic);
    g_pLogger.store(logger.get());
    // The simulated service listens below the range the kernel hands out for port 0 and for
    // outgoing connections: while a test has it away, no other process is given its port.
    bool started = false;
    for (int i = 0; i < 500 && !started; ++i)
      started = service.Start(static_cast<uint16_t>(20000 + (getpid() * 31 + i * 7919) % 12000));
    ASSERT_TRUE(started);
    ASSERT_TRUE(WriteRegistryString(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\SoftwareService", "Uri",
                                    service.Uri(), kRegistryStoreName));
    config.scanMs = 1;
  }
  void TearDown() override {
    session.reset();
    receiver.reset();
    if (simulator) simulator->Stop();
    service.Stop();
    g_pLogger.store(nullptr);
    logger.reset();
    if (!getenv("OVANTA_KEEP_TEST_LOG")) unlink(logPath.c_str());
  }

  // Starts the receiver simulator and opens a receiver on it; its start-up runs at once and it
  // connects to the software service at the end.
  void OpenReceiver() {
    simulator = std::make_unique<CReceiverSimulator>(config);
    ASSERT_TRUE(simulator->Start());
    ReceiverEnvironment env;
    env.startupStepMs = 1;
    sessionEnv.powerDownStepMs = powerDownStepMs;
    sessionEnv.makeClient = [] { return std::make_shared<Voxlet::Client>(false); };  // ticks come from the test
    receiver = std::make_unique<CReceiver>(&events, env);
    session = std::make_unique<RecordingSession>(*receiver, sessionEnv);
    if (prepareSession) prepareSession(*session);
    ASSERT_EQ(receiver->Open(Voxlet::UTF8to16(simulator->SlavePath())), 0u);
  }

  // Receiver packets the simulated receiver got.
  Packets Received() { return simulator->Received(); }
  bool WaitForPacket(const Bytes& packet, size_t count = 1) {
    return simulator->WaitFor([&](const Packets& p) { return CountOf(p, packet) >= count; }, 20000);
  }

  // Software-service requests, by route.
  size_t Count(const std::string& route) { return service.Manager().Count(route); }
  bool WaitForCount(const std::string& route, size_t count) {
    return service.Manager().WaitFor([&] { return Count(route) >= count; }, 20);
  }
  std::vector<ServiceSim::ReceivedRequest> Requests(const std::string& route = {}) {
    std::vector<ServiceSim::ReceivedRequest> all = service.Manager().Requests();
    std::erase_if(all, [&](const auto& r) { return !route.empty() && r.route != route; });
    return all;
  }
  std::vector<std::string> Routes() {
    std::vector<std::string> routes;
    for (const auto& r : Requests()) routes.push_back(r.route);
    return routes;
  }

  void Tick() { session->OnClientTick(*session->ServiceClient()); }
  // One of the teacher's actions on the simulated software service (a control line).
  void Teacher(const std::string& line) {
    bool ok = false;
    service.Control(line, ok);
    ASSERT_TRUE(ok) << line;
  }
  // One tick whose poll hello the service has answered, and whose reply has been handled by the
  // time the next exchange of the client goes out.
  void PollOnce() {
    const size_t hellos = Count("hello");
    Tick();
    ASSERT_TRUE(WaitForCount("hello", hellos + 1));
  }
  // Requests of the test's own through the receiver's client. The first is written once every
  // reply before it has been handled (the client completes one exchange before it writes the
  // next); the second, sent after the first arrived, follows whatever those replies' handlers
  // sent. So once it has arrived, the service has everything the receiver sent before, and the
  // lifecycle steps of those replies are queued.
  void SettleClient() {
    for (int i = 0; i < 2; ++i) {
      auto message = Voxlet::Message::Create();
      message->Open(Voxlet::Methods::Get, u"/marker");
      const size_t before = Count("unknown");
      const Voxlet::ClientPtr client = session->ServiceClient();
      ASSERT_TRUE(client != nullptr) << "the receiver has no client: its start-up did not finish";
      ASSERT_TRUE(client->Send(message));
      ASSERT_TRUE(WaitForCount("unknown", before + 1));
    }
  }
  // Ticks whose poll replies have been handled, for replies the service does not record (its
  // overridden ones).
  void PollsHandled(int polls) {
    for (int i = 0; i < polls; ++i) {
      Tick();
      SettleClient();
    }
  }
  // ... and the lifecycle steps have run, twice over: what they sent has been answered and the
  // steps of those answers have run too.
  void Settle() {
    for (int i = 0; i < 2; ++i) {
      SettleClient();
      ASSERT_TRUE(session->DrainLifecycle());
    }
  }

  // Opens the receiver with the software service away until the start-up scan is over, so the
  // receiver says hello while not scanning.
  void OpenWithScanDone() {
    const uint16_t port = service.Port();
    service.Stop();
    OpenReceiver();
    ASSERT_TRUE(WaitForPacket(kScanResultsQuery));
    ASSERT_TRUE(service.Start(port));
  }
  // ... and waits until the endpoint exists, is subscribed and the activated status was asked for.
  void OpenAndSubscribe() {
    OpenWithScanDone();
    ASSERT_TRUE(WaitForCount("activatedStatus", 1));
  }

  // The log so far (lines end in CR LF).
  std::string Log() {
    logger->Close();
    std::ifstream in(logPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    logger->Open(logPath);
    return text.str();
  }

  ScopedTempRegistry registry;
  Voxlet::Globals library;
  std::string logPath;
  std::unique_ptr<CLogger> logger;
  ServiceSim::ServiceSimulator service;
  // Runs on the session before the receiver opens (no other thread sees it yet).
  std::function<void(RecordingSession&)> prepareSession;
  SimulatorConfig config;
  int powerDownStepMs = 1;
  SessionEnvironment sessionEnv;  // the session's, as OpenReceiver makes it
  ::testing::NiceMock<MockReceiverEvents> events;
  std::unique_ptr<CReceiverSimulator> simulator;
  std::unique_ptr<CReceiver> receiver;
  std::unique_ptr<RecordingSession> session;  // destroyed first: closes the receiver

  const std::string kEndpoint = "receiver.00-12-4B-00-0A-0B-0C-0D";  // the simulator's MAC
  const Bytes kMacQuery = {0x00, 0x00, 0x16, 0x00};
  const Bytes kPowerDownAll = {0x00, 0x00, 0x0E, 0x02};
  const Bytes kNetworkStop = {0x00, 0x00, 0x04, 0x00};
  const Bytes kScanResultsQuery = {0x00, 0x00, 0x11, 0x7F, 0xFF};
};

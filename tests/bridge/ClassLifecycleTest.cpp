// The class lifecycle on its own: a host that records the requests it sends (answered as the
// test says) and counts the receiver commands, over a receiver that is not open.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/ClassLifecycle.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "client/http/Globals.h"
#include "protocol/Receiver.h"
#include "tests/bridge/FakeSessionHost.h"
#include "tools/service-sim/SimText.h"

namespace {

class FakeClassClickers : public IClassClickers {
 public:
  std::vector<KnownClicker> known;
  std::vector<uint16_t> rejoined;

  int Clears() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_clears;
  }
  // A switch forgets the clickers once it has logged them off on the radio, before it waits.
  bool WaitForClears(int count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_cleared.wait_for(lock, std::chrono::seconds(20), [&] { return m_clears >= count; });
  }

  std::vector<uint16_t> ShortAddresses() const override {
    std::vector<uint16_t> addresses;
    for (const KnownClicker& clicker : known) addresses.push_back(clicker.address);
    return addresses;
  }
  std::vector<KnownClicker> KnownClickers() const override { return known; }
  void Clear() override {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_clears;
    m_cleared.notify_all();
  }
  void RejoinWithoutLogin(uint16_t address, uint32_t, uint32_t) override { rejoined.push_back(address); }
  void DisconnectClickerInSoftware(const Voxlet::StringBuffer&) override {}
  void CancelRaisedHandInSoftware(const Voxlet::StringBuffer&) override {}

 private:
  std::mutex m_lock;
  std::condition_variable m_cleared;
  int m_clears = 0;
};

class LifecycleHost : public FakeSessionHost<ILifecycleHost> {
 public:
  FakeClassClickers clickers;
  std::atomic<int> statusAskedAfterScan{0};

  IClassClickers& ClassClickers() override { return clickers; }
  void AskActivatedStatusAfterScan() override { ++statusAskedAfterScan; }
  void ClearAnswerParts() override {}
};

// An element of a voxlet document that lives as long as the test.
class VoxletElement {
 public:
  VoxletElement(const std::string& element, const std::string& attributes) {
    m_document = Voxlet::XmlSchema::ParseUtf8("<?xml version=\"1.0\"?><voxlet:" + element +
                                              ServiceSim::VoxletNamespaces() + attributes + "/>");
  }
  xercesc::DOMElement* operator*() const { return m_document ? m_document->Dom()->getDocumentElement() : nullptr; }

 private:
  Voxlet::XmlDocumentPtr m_document;
};

std::string Attribute(const std::string& name, const std::string& value) {
  return ServiceSim::VoxletAttribute(name, value);
}

}  // namespace

class ClassLifecycleTest : public ::testing::Test {
 protected:
  static SessionEnvironment QuickPowerDowns() {
    SessionEnvironment environment;
    environment.powerDownStepMs = 1;
    return environment;
  }
  // The clickers on record, by short address.
  void KnownClickers(std::initializer_list<uint16_t> addresses) {
    for (const uint16_t address : addresses) {
      KnownClicker clicker;
      clicker.address = address;
      host.clickers.known.push_back(clicker);
    }
  }

  // Everything posted to the lifecycle worker so far has run.
  void Settle() {
    std::promise<void> ran;
    ASSERT_TRUE(lifecycle.Post([&] { ran.set_value(); }));
    ran.get_future().wait();
  }

  // The activated-status query, answered with a document of these network name and class
  // reference attributes (and an assessment not started).
  void ActivatedStatus(int status, const std::string& networkName, const std::string& classRef) {
    const size_t before = host.Sent().size();
    lifecycle.SendActivatedStatusQuery();
    ASSERT_EQ(host.Sent().size(), before + 1);
    const Voxlet::MessagePtr query = host.Sent().back();
    EXPECT_EQ(Voxlet::UTF16to8(query->Path()), "/voxlet/scripts/teachers/getServerActivatedStatus.js");
    const std::string document = "<?xml version=\"1.0\"?><voxlet:activated" + ServiceSim::VoxletNamespaces() +
                                 (networkName.empty() ? "" : Attribute("networkname", networkName)) +
                                 "><voxlet:classref xml:id=\"activated-class\"" + classRef +
                                 "/><voxlet:assessmentrefs><voxlet:assessmentref" + Attribute("assessmentid", "quiz") +
                                 Attribute("started", "") + Attribute("stopped", "") +
                                 "/></voxlet:assessmentrefs></voxlet:activated>";
    query->End(true, status, {}, {}, document);
    query->Completed()(query);
    Settle();
  }

  // A class switch as the software service orders it: its deactivation of the class, run on
  // the lifecycle worker like every notification.
  std::future<bool> Switch(bool nextAnonymous) {
    auto switched = std::make_shared<std::promise<bool>>();
    auto classRef = std::make_shared<VoxletElement>(
        "classref", Attribute("classid", "class-1") + Attribute("logoff", "true") +
                        Attribute("nextclassanonymous", nextAnonymous ? "true" : "false"));
    EXPECT_TRUE(lifecycle.Post([this, switched, classRef] { switched->set_value(lifecycle.StopClass(**classRef)); }));
    return switched->get_future();
  }

  // A switch out of a class that requires a student, with a step posted behind it, once it waits
  // for its log-offs (the clickers forgotten for the switchNumber-th time).
  struct WaitingSwitch {
    std::future<bool> switched;
    std::shared_future<void> next;
  };
  WaitingSwitch SwitchWaitingForLogOffs(int switchNumber) {
    WaitingSwitch waiting{Switch(false), PostStep()};
    EXPECT_TRUE(host.clickers.WaitForClears(switchNumber));
    return waiting;
  }

  // A step posted after the switch, and whether it ran within a short wait (a step dropped
  // unrun breaks its promise).
  std::shared_future<void> PostStep() {
    auto ran = std::make_shared<std::promise<void>>();
    std::shared_future<void> step = ran->get_future().share();
    lifecycle.Post([ran] { ran->set_value(); });
    return step;
  }
  static bool Ran(const std::shared_future<void>& step) {
    if (step.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) return false;
    try {
      step.get();
      return true;
    } catch (const std::future_error&) {
      return false;
    }
  }

  Voxlet::Globals library;
  LifecycleHost host;
  CReceiver receiver{nullptr};
  SessionEnvironment environment = QuickPowerDowns();
  CClassLifecycle lifecycle{host, receiver, environment};
};

// The activated status starts its class (anonymous or not) when it is started, not stopped and
// has a network name to go by; otherwise no class is current. A reply that is not a verdict
// changes nothing.
TEST_F(ClassLifecycleTest, TheActivatedStatusStartsOnlyAClassThatIsRunning) {
  const std::string started = Attribute("started", "2026-12-10T08:00:00.000Z");
  ActivatedStatus(200, "Room 101", Attribute("classid", "class-1") + started + Attribute("anonymous", "true"));
  EXPECT_EQ(lifecycle.CurrentClassId(), u"class-1");
  EXPECT_TRUE(lifecycle.CurrentClassLogin().anonymous);
  EXPECT_FALSE(lifecycle.AssessmentStarted());
  EXPECT_GT(host.commands, 0);

  ActivatedStatus(500, "Room 101", Attribute("classid", "class-2") + started);
  EXPECT_EQ(lifecycle.CurrentClassId(), u"class-1");

  ActivatedStatus(200, "Room 101", Attribute("classid", "class-2") + started + Attribute("anonymous", "false"));
  EXPECT_EQ(lifecycle.CurrentClassId(), u"class-2");
  EXPECT_FALSE(lifecycle.CurrentClassLogin().anonymous);

  for (const std::string& notRunning :
       {Attribute("classid", "class-3") + started + Attribute("stopped", "2026-12-10T09:00:00.000Z"),
        Attribute("classid", "class-3"), Attribute("classid", "") + started}) {
    SCOPED_TRACE(notRunning);
    ActivatedStatus(200, "Room 101", Attribute("classid", "class-2") + started);
    ASSERT_EQ(lifecycle.CurrentClassId(), u"class-2");
    ActivatedStatus(200, "Room 101", notRunning);
    EXPECT_TRUE(lifecycle.CurrentClassId().empty());
  }
}

// A class switch tells the software service that every clicker left, logs them off on the
// radio and holds the steps after it (the new class's assessment and questions) until each has
// logged off, so that they reach the clickers in the new login session.
TEST_F(ClassLifecycleTest, AClassSwitchHoldsTheStepsAfterItUntilEveryClickerLoggedOff) {
  KnownClickers({1, 2});
  auto [switched, next] = SwitchWaitingForLogOffs(1);
  lifecycle.CountLogOff();
  EXPECT_FALSE(Ran(next));
  EXPECT_TRUE(lifecycle.CurrentClassLogin().switching);
  lifecycle.CountLogOff();
  EXPECT_TRUE(switched.get());
  EXPECT_TRUE(Ran(next));
  EXPECT_FALSE(lifecycle.CurrentClassLogin().switching);
  EXPECT_EQ(host.clickers.Clears(), 1);
  EXPECT_TRUE(host.clickers.rejoined.empty());
}

// Into an anonymous class nobody is logged off: the switch does not wait, and the clickers are
// taken as if they had just joined without a login.
TEST_F(ClassLifecycleTest, SwitchingIntoAnAnonymousClassRejoinsTheClickersWithoutWaiting) {
  KnownClickers({1, 2, 3});
  EXPECT_TRUE(Switch(true).get());
  EXPECT_EQ(host.clickers.rejoined, (std::vector<uint16_t>{1, 2, 3}));
  EXPECT_TRUE(lifecycle.CurrentClassLogin().anonymous);
  EXPECT_FALSE(lifecycle.CurrentClassLogin().switching);
}

// The receiver closing ends a switch still waiting for log-offs and drops the steps queued
// behind it; opened again, the lifecycle takes steps again.
TEST_F(ClassLifecycleTest, StoppingEndsASwitchStillWaitingAndDropsTheStepsBehindIt) {
  KnownClickers({1});
  auto [switched, dropped] = SwitchWaitingForLogOffs(1);
  EXPECT_FALSE(Ran(dropped));
  lifecycle.Stop();
  EXPECT_TRUE(switched.get());
  EXPECT_EQ(host.commands, 1);  // the log-off on the radio; no login requirement after it
  EXPECT_FALSE(lifecycle.CurrentClassLogin().switching);
  EXPECT_FALSE(Ran(dropped));
  EXPECT_FALSE(lifecycle.Post([] {}));

  lifecycle.Restart();
  EXPECT_TRUE(Ran(PostStep()));
  // The log-off count starts again at every switch: a log-off left over does not end the next.
  lifecycle.CountLogOff();
  auto [again, after] = SwitchWaitingForLogOffs(2);
  EXPECT_FALSE(Ran(after));
  lifecycle.CountLogOff();
  EXPECT_TRUE(again.get());
  EXPECT_TRUE(Ran(after));
}

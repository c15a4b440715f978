// The parts the receiver manager is composed of, each on its own.
#include <gtest/gtest.h>

#include <future>

#include "client/http/Globals.h"
#include "devices/EmailLog.h"
#include "devices/ReceiverSet.h"
#include "devices/ResetQueue.h"
#include "devices/SdkBackEnd.h"
#include "devices/ServiceLink.h"
#include "platform/Registry.h"
#include "tests/manager/FakeReceivers.h"
#include "tests/protocol/LogCapture.h"
#include "tests/service/TestFiles.h"

namespace {

class ReceiverSetTest : public ::testing::Test {
 protected:
  CReceiverSet& Set() {
    if (!set)
      set = std::make_unique<CReceiverSet>(
          [this](IReceiverEvents*) -> ManagedReceiverPtr { return std::make_shared<FakeReceiver>(links, ++numbers); },
          nullptr, [this] { listedWhenOpened.push_back(set->List().Count()); });
    return *set;
  }

  FakeLinks links;
  uint32_t numbers = 0;
  std::vector<size_t> listedWhenOpened;
  std::unique_ptr<CReceiverSet> set;
};

// The status broadcast after an open must see the new receiver: it is listed first.
TEST_F(ReceiverSetTest, AnOpenedReceiverIsListedBeforeTheOpenIsToldAndAFailedOneNever) {
  links.openResult[u"/dev/ttyACM9"] = 5;
  EXPECT_EQ(Set().Connect(u"/dev/ttyACM0"), 0u);
  EXPECT_EQ(Set().Connect(u"/dev/ttyACM9"), 5u);
  EXPECT_EQ(Set().Connect(u"/dev/ttyACM1"), 0u);
  EXPECT_EQ(listedWhenOpened, (std::vector<size_t>{1, 2}));
  EXPECT_EQ(Set().List().Ports(), (std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0", u"/dev/ttyACM1"}));
  EXPECT_EQ(links.closed, std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM9"});  // what the failed open left
}

// A queued port whose receiver is open is reported and closed but stays queued; on the next
// pass it is reopened (when asked to) and leaves the queue, whether or not it opens.
TEST_F(ReceiverSetTest, AResetClosesOnOnePassAndReopensOnTheNext) {
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM0"), 0u);
  links.openResult[u"/dev/ttyACM7"] = 3;
  CResetQueue queue;
  queue.Push(u"/dev/ttyACM0");
  queue.Push(u"/dev/ttyACM7");  // not open, and does not open
  std::vector<Voxlet::StringBuffer> reported;
  const auto report = [&](const Voxlet::StringBuffer& endpoint) { reported.push_back(endpoint); };

  Set().ProcessResets(queue, AfterReset::kReconnect, report);
  EXPECT_EQ(reported, std::vector<Voxlet::StringBuffer>{u"receiver.00-11-22-33-44-55-66-77"});
  EXPECT_TRUE(Set().List().Ports().empty());
  EXPECT_EQ(queue.Ports(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});

  Set().ProcessResets(queue, AfterReset::kReconnect, report);
  EXPECT_EQ(reported.size(), 1u);
  EXPECT_EQ(Set().List().Ports(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
  EXPECT_TRUE(queue.Ports().empty());
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 2u);
}

// A receiver unplugged and plugged in again between two ticks: the reset its lost link asked for
// belonged to the receiver that is gone, not to the one opened since.
TEST_F(ReceiverSetTest, AResetAskedForBeforeTheOpenOfThePortsReceiverIsDropped) {
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM0"), 0u);
  CResetQueue queue;
  queue.Push(u"/dev/ttyACM0");
  Set().Remove(u"/dev/ttyACM0");
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM0"), 0u);
  std::vector<Voxlet::StringBuffer> reported;
  Set().ProcessResets(queue, AfterReset::kReconnect,
                      [&](const Voxlet::StringBuffer& endpoint) { reported.push_back(endpoint); });
  EXPECT_TRUE(reported.empty());
  EXPECT_TRUE(queue.Ports().empty());
  EXPECT_EQ(Set().List().Ports(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 2u);
}

// Closing a link can wait for its device (a USB tty's driver waits for output to drain): the
// set is not held meanwhile, so other receivers open, close and are listed; only an open of
// the very port waits for its close to end, since the closing link still holds the tty.
TEST_F(ReceiverSetTest, AClosingLinkHoldsUpNothingButAnOpenOfItsOwnPort) {
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM0"), 0u);
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM1"), 0u);
  links.holdCloses = true;
  auto removal = std::async(std::launch::async, [&] { Set().Remove(u"/dev/ttyACM0"); });
  ASSERT_TRUE(links.WaitForClosing());
  // Opened while the old link still held the tty, it would be found in use.
  auto reopen = std::async(std::launch::async, [&] { return Set().Connect(u"/dev/ttyACM0"); });
  auto others = std::async(std::launch::async, [&] {
    EXPECT_EQ(Set().Connect(u"/dev/ttyACM2"), 0u);
    EXPECT_EQ(Set().List().Ports(), (std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM1", u"/dev/ttyACM2"}));
  });
  const bool othersWentOn = others.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  links.Release();
  removal.get();
  others.get();
  EXPECT_TRUE(othersWentOn);
  EXPECT_EQ(reopen.get(), 0u);
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 2u);
  EXPECT_EQ(links.closed, std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
}

// What the SDK clients are told fits their records: no more than they asked for, and a name
// cut to 31 units with the last of the 32 always 0.
TEST_F(ReceiverSetTest, StatusRecordsAreCappedAndLongNamesCut) {
  const Voxlet::StringBuffer longPort = u"/dev/serial/by-id/usb-Vantrel_Receiver_0000123456-if00";
  ASSERT_EQ(Set().Connect(longPort), 0u);
  ASSERT_EQ(Set().Connect(u"/dev/ttyACM1"), 0u);
  CSdkBackEnd sdk(Set().List(), nullptr, {});
  ReceiverStatusW records[2];
  for (ReceiverStatusW& r : records) {
    r.receiverNumber = 99;
    std::fill(std::begin(r.receiverName), std::end(r.receiverName), u'#');
  }
  EXPECT_EQ(sdk.GetReceiverCount(), 2);
  EXPECT_EQ(sdk.GetReceiverStatus(1, records), 1);
  EXPECT_EQ(records[0].receiverNumber, 1u);
  EXPECT_EQ(std::u16string(records[0].receiverName), longPort.substr(0, 31));
  EXPECT_EQ(records[1].receiverNumber, 99u);  // beyond the count asked for: untouched
  EXPECT_EQ(sdk.GetReceiverStatus(-1, records), 0);
  EXPECT_EQ(sdk.GetReceiverStatus(2, records), 2);
  EXPECT_EQ(std::u16string(records[1].receiverName), u"/dev/ttyACM1");
}

TEST(ServiceLinkTest, ReachableAndUnreachableAreEachSaidOncePerChange) {
  Voxlet::Globals library;
  int enumerations = 0;
  LogCapture log;
  CServiceLink link({.enumerateReceivers = [&] { ++enumerations; }, .retryPendingDevices = [] {}, .tick = [] {}});
  link.Connect(u"http://127.0.0.1:9/");    // no client attached: only the address is kept
  constexpr bool kPeriodicSignal = false;  // its signals come from the test only
  Voxlet::Client client(kPeriodicSignal);
  using Voxlet::ClientStates::Connected, Voxlet::ClientStates::Disconnected;
  for (int state : {Connected, Connected, Disconnected, Disconnected, Disconnected, Connected})
    link.OnClientStateChanged(client, state);
  EXPECT_EQ(enumerations, 3);  // each connection enumerates the receivers
  link.Stop();
  link.OnClientStateChanged(client, Disconnected);
  link.OnClientStateChanged(client, Connected);
  EXPECT_EQ(enumerations, 3);
  EXPECT_EQ(log.Containing("Software service"),
            (std::vector<std::string>{
                "Software service at http://127.0.0.1:9/ connected",
                "Software service not reachable at http://127.0.0.1:9/: the connection was lost; retrying",
                "Software service at http://127.0.0.1:9/ connected",
            }));
}

TEST(EmailLogTest, EachChangeOfTheSettingIsSaidOnce) {
  TempDir dir;
  ScopedRegistry registry(dir.File("registry.ini"));
  const auto setEmailLog = [](uint32_t on) {
    ASSERT_TRUE(
        WriteRegistryDword(0, "SOFTWARE\\Vantrel\\Voxlet\\Install", "EmailLogOn", on, "com.vantrel.Preferences"));
  };
  LogCapture log;
  CEmailLog email;
  setEmailLog(1);
  email.ApplyAtStartup();
  email.CheckSetting();
  setEmailLog(0);
  email.CheckSetting();
  email.CheckSetting();
  setEmailLog(1);
  email.CheckSetting();
  EXPECT_EQ(log.Containing("mail log"),
            (std::vector<std::string>{"Email log at startup is: ON+++", "Turning email log OFF---",
                                      "Turning email log ON+++"}));
}

}  // namespace

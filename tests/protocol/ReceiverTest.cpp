#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ReceiverFixtures.h"
#include "client/HardwareServicePreferences.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverPreferences.h"

using ::testing::_;
using ::testing::NiceMock;

namespace {

class ReceiverTest : public ::testing::Test {
 protected:
  ScopedRegistry registry;
  NiceMock<MockReceiverEvents> events;
  FakeLink* link = nullptr;
  uint32_t openResult = 0;
  std::atomic<uint32_t> tick{50000};
  uint32_t randomValue = 7;
  std::string now = "2026-01-01T00:00:00.000Z";
  int startupStepMs = 600000;  // the start-up worker stays out of the way unless a test wants it

  // Everything the receiver's I/O loop has written, up to and including a marker packet
  // queued now: what was queued before the marker has gone out.
  std::vector<Bytes> SentUpToMarker(CReceiver& receiver) {
    receiver.SendCommandText("ee,ee,ee", Delivery::kOnce);
    for (;;) {
      const std::vector<Bytes> sent = link->Sent();
      if (std::count(sent.begin(), sent.end(), kMarker) > markers) {
        ++markers;
        return sent;
      }
      if (!link->WaitForSent(sent.size() + 1)) return sent;
    }
  }

  const Bytes kMarker = {0xEE, 0xEE, 0xEE};
  long markers = 0;

  std::unique_ptr<CReceiver> Make() {
    ReceiverEnvironment env;
    env.makeLink = [this](const SBConnectionInfo& info) {
      auto fake = std::make_unique<FakeLink>(info, openResult);
      link = fake.get();
      return fake;
    };
    env.timestamp = [this](int64_t seconds) {
      // Texts that order like times: "now" plus an offset in the seconds field's place.
      return Voxlet::UTF8to16(now + "+" + std::to_string(100000 + seconds));
    };
    env.random = [this] { return randomValue; };
    env.clock = [this] { return tick.load(); };
    env.startupStepMs = startupStepMs;
    return std::make_unique<CReceiver>(&events, env);
  }
};

TEST_F(ReceiverTest, OpenStatusesAreLoggedRecordedAndReported) {
  LogCapture log;
  openResult = 3;
  auto inUse = Make();
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 3u));
  EXPECT_EQ(inUse->Open(u"/dev/ttyACM7"), 3u);
  EXPECT_EQ(inUse->GetState(), 3u);
  EXPECT_EQ(inUse->Handler(), nullptr);
  openResult = 5;
  auto failing = Make();
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 5u));
  EXPECT_EQ(failing->Open(u"/dev/ttyACM8"), 5u);
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(lines, (std::vector<std::string>{"/dev/ttyACM7 - status change: device in use",
                                             "/dev/ttyACM8 - Error opening connection: 5",
                                             "/dev/ttyACM8 - status change: unknown"}));
}

TEST_F(ReceiverTest, OpenLinkGetsTheBaudRatePreferenceAndAHandler) {
  auto first = Make();
  ASSERT_EQ(first->Open(u"/dev/ttyACM0"), 0u);
  EXPECT_EQ(link->baud.load(), static_cast<uint32_t>(Voxlet::Preferences::HardwareService::DefaultBaudRate));
  EXPECT_NE(first->Handler(), nullptr);
  first->Close();
  WriteRegistryDword(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "BaudRate", 19200,
                     kRegistryStoreName);
  auto second = Make();
  ASSERT_EQ(second->Open(u"/dev/ttyACM0"), 0u);
  EXPECT_EQ(link->baud.load(), 19200u);
}

TEST_F(ReceiverTest, ReceiversAreNumberedInOrderAndNumberingRestartsWhenAllAreGone) {
  auto a = Make();
  auto b = Make();
  a->Open(u"/dev/ttyACM0");
  b->Open(u"/dev/ttyACM1");
  EXPECT_EQ(a->GetReceiverNumber(), 1u);
  EXPECT_EQ(b->GetReceiverNumber(), 2u);
  EXPECT_EQ(ConnectedReceiverCount(), 2u);
  a->Close();
  b->Close();
  EXPECT_EQ(ConnectedReceiverCount(), 0u);
  auto c = Make();
  c->Open(u"/dev/ttyACM2");
  EXPECT_EQ(c->GetReceiverNumber(), 1u);
}

// The network stop of a closing receiver goes out at once, even when a packet sent earlier still
// waits at the queue's front for its answer.
TEST_F(ReceiverTest, ClosingStopsTheNetworkEvenBehindAPacketAwaitingItsAnswer) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->SendCommandText("00,00,13", Delivery::kRetry);  // retried until answered; the link never answers
  ASSERT_TRUE(link->WaitForSent(1));
  receiver->Close();
  const std::vector<Bytes> sent = link->Sent();
  EXPECT_EQ(sent.front(), (Bytes{0x00, 0x00, 0x13}));
  EXPECT_EQ(sent.back(), (Bytes{0x00, 0x00, 0x04, 0x00}));
}

// The start-up's packets on the wire are checked over a pty (ReceiverOverPtyTest); here the
// channel it starts from when the one remembered is out of range.
TEST_F(ReceiverTest, StartUpFromAnOutOfRangeLastChannelGlobsToARandomOne) {
  startupStepMs = 10;
  ReceiverPreferences::WriteFileInteger(u"LastChannel(/dev/ttyACM0)", 27);
  LogCapture log;
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  ASSERT_TRUE(link->WaitForSent(3));  // power-down, network stop, scan
  // LastChannel 27 is out of range: a random channel (11 + (7 AND 15)).
  EXPECT_EQ(receiver->Network().CurrentChannel(), 18);
  receiver->Close();
  EXPECT_EQ(
      log.Count("We are just starting up so performing full scan of all channels, globbing to channel 18 for now"), 1u);
}

TEST_F(ReceiverTest, EightMismatchingReportsQueueAResetAndAnUpReportStartsTheCountAgain) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->Network().SetNetworkStarted(true);
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(0);
  receiver->OnReceiverStatus(0);
  for (int i = 0; i < 6; ++i) receiver->OnReceiverStatus(0);
  receiver->OnReceiverStatus(2);  // back to the expected state
  for (int i = 0; i < 7; ++i) receiver->OnReceiverStatus(3);
  ::testing::Mock::VerifyAndClearExpectations(&events);
  EXPECT_CALL(events, QueueReceiverReset(Voxlet::StringBuffer(u"/dev/ttyACM0"))).Times(1);
  receiver->OnReceiverStatus(3);  // the eighth in a row
}

TEST_F(ReceiverTest, IdleStraightAfterUpDuringAClassIsAWatchdogReset) {
  LogCapture log;
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->Network().SetNetworkStarted(true);
  receiver->OnReceiverStatus(2);
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(1);
  receiver->OnReceiverStatus(0);
  EXPECT_EQ(log.Count("The receiver has gone down during a class unexpectedly"), 1u);
  EXPECT_EQ(log.Count("We think the receiver network is started but the receiver is telling us that it is idle; this "
                      "has happened 1 time(s)"),
            1u);
}

TEST_F(ReceiverTest, ScanEndsOnTheScanningToIdleStep) {
  LogCapture log;
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->OnProductCode(0);  // "Voxlet": all 16 channels
  receiver->Network().RunBackgroundScan(0xFFFF);
  receiver->OnReceiverStatus(1);
  receiver->OnReceiverStatus(1);
  receiver->OnReceiverStatus(0);
  const std::vector<Bytes> sent = SentUpToMarker(*receiver);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1], (Bytes{0x00, 0x00, 0x11, 0xFF, 0xFF}));
  EXPECT_EQ(log.Count("We think that the channel scan is finished because we saw a scanning-->idle state transition; "
                      "sending a query for scan results"),
            1u);
}

TEST_F(ReceiverTest, ShortScanEndsOnTheThirdNonScanningReport) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->Network().RunBackgroundScan(0x0004);
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);
  EXPECT_EQ(SentUpToMarker(*receiver).size(), 2u);  // the scan and the marker: no query yet
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);  // the scan is over: nothing more
  const std::vector<Bytes> sent = SentUpToMarker(*receiver);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], (Bytes{0x00, 0x00, 0x11, 0x00, 0x04}));
}

TEST_F(ReceiverTest, UnexpectedScanIsAdoptedAndAnOverdueOneQueuesAReset) {
  LogCapture log;
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(0);
  receiver->OnReceiverStatus(1);  // a scan nobody asked for: deadline 90 s from now
  receiver->OnReceiverStatus(1);
  ::testing::Mock::VerifyAndClearExpectations(&events);
  now = "2026-01-01T00:05:00.000Z";  // five minutes later
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(1);
  receiver->OnReceiverStatus(1);
  EXPECT_EQ(log.Count("For some reason, the receiver is performing a channel scan"), 1u);
  EXPECT_EQ(log.Count("We have a problem; the last scan didn't finish in a reasonable amount of time"), 1u);
}

TEST_F(ReceiverTest, RepeatedStatusIsLoggedEveryHundredAndOnChange) {
  LogCapture log;
  auto receiver = Make();
  for (int i = 0; i < 101; ++i) receiver->OnReceiverStatus(0);
  receiver->OnReceiverStatus(0);
  receiver->OnReceiverStatus(2);  // a change after repeats logs them
  receiver->OnReceiverStatus(0);  // a change after a single report does not
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "DEVICE_STATUS receiver - previous status 0 (FLAG_NETWORK_STATUS_IDLE) repeated 100 time(s)",
                "DEVICE_STATUS receiver - ucNetworkStatus: 0 (FLAG_NETWORK_STATUS_IDLE)",
                "DEVICE_STATUS receiver - previous status 0 (FLAG_NETWORK_STATUS_IDLE) repeated 1 time(s)",
                "DEVICE_STATUS receiver - ucNetworkStatus: 2 (FLAG_NETWORK_STATUS_UP)"}));
}

TEST_F(ReceiverTest, ReceiverReportsSetItsFields) {
  auto receiver = Make();
  receiver->Open(u"/dev/ttyACM0");
  receiver->OnFirmwareInfo(2, 5, 17, 0xBEEF);
  EXPECT_EQ(receiver->Network().FirmwareVersion(), u"2.5.17 (BEEF)");
  receiver->OnProductCode(1);
  EXPECT_EQ(receiver->Network().ProductText(), u"QX");
  receiver->OnProductCode(0);
  EXPECT_EQ(receiver->Network().ProductText(), u"Voxlet");
  receiver->OnNetworkState(true);
  EXPECT_TRUE(receiver->Network().NetworkStarted());
  receiver->OnChannel(0, 4);
  EXPECT_EQ(receiver->Network().CurrentChannel(), 15);
  EXPECT_EQ(ReceiverPreferences::ReadFileInteger(u"LastChannel(/dev/ttyACM0)", -1), 15);
}

TEST_F(ReceiverTest, PeriodicScansTakeOneChannelEveryIntervalRoundRobin) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->OnProductCode(0);
  const int interval = 14;  // the default interval; the default durations make it no longer
  for (int i = 0; i < interval - 1; ++i) receiver->Network().RunBackgroundScan(0);
  EXPECT_EQ(SentUpToMarker(*receiver).size(), 1u);
  receiver->Network().RunBackgroundScan(0);
  // While that scan is outstanding no other starts.
  for (int i = 0; i < 2 * interval; ++i) receiver->Network().RunBackgroundScan(0);
  std::vector<Bytes> sent = SentUpToMarker(*receiver);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 5), (Bytes{0, 0, 0x17, 0x00, 0x01}));
  // Its end hands the pending mask on; the next interval scans the next channel.
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);
  for (int i = 0; i < interval; ++i) receiver->Network().RunBackgroundScan(0);
  sent = SentUpToMarker(*receiver);
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[3], (Bytes{0, 0, 0x11, 0x00, 0x01}));
  EXPECT_EQ(Bytes(sent[4].begin(), sent[4].begin() + 5), (Bytes{0, 0, 0x17, 0x00, 0x02}));
}

TEST_F(ReceiverTest, TimedNetworkStopRunsWhenDue) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  receiver->Network().QueueTimedAction({kTimedNetworkStop, tick.load() + 1000});
  receiver->Network().RunTimedWork();
  EXPECT_EQ(SentUpToMarker(*receiver).size(), 1u);
  tick += 1000;
  receiver->Network().RunTimedWork();
  // A retried packet: it goes out and holds the queue until answered.
  ASSERT_TRUE(link->WaitForSent(2));
  EXPECT_EQ(link->Sent()[1], (Bytes{0x00, 0x00, 0x04, 0x00}));
}

TEST_F(ReceiverTest, CommandTextIsQueuedAsItsBytes) {
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
  LogCapture log;
  receiver->SendCommandText("1,zz,27,3", Delivery::kOnce);
  // A text of more bytes than a packet holds is refused whole, never cut or sent in pieces.
  std::string tooLong = "0,0,1";
  for (int i = 0; i < 257; ++i) tooLong += ",10";
  receiver->SendCommandText(tooLong, Delivery::kOnce);
  const std::vector<Bytes> sent = SentUpToMarker(*receiver);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0x01, 0xFF, 0x27, 0x03}));
  EXPECT_EQ(log.Count("/dev/ttyACM0 - Command text refused: 260 bytes, a receiver takes at most 259."), 1u);
}

TEST_F(ReceiverTest, ChannelAnalysisReportsSwitchesPerThreshold) {
  namespace HS = Voxlet::Preferences::HardwareService;
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysis, 1);
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysisFrequency, 1);
  ReceiverPreferences::WriteFileInteger(HS::ScanThresholdGoodPoor, 17);
  LogCapture log;
  {
    auto receiver = Make();
    ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
    receiver->OnChannel(0, 0);  // channel 11 in use
    auto results =
        std::make_shared<std::vector<CChannelScanResults>>(std::vector<CChannelScanResults>{{0, 30}, {0, 5}});
    receiver->OnScanResults(0x0003, 0, results);  // first results: the channel is set, no report yet
    tick += 60000;
    receiver->OnScanResults(0x0003, 0, results);  // exactly a minute: still no report
    tick += 1;
    receiver->OnScanResults(0x0003, 0, results);
  }
  EXPECT_EQ(ReceiverPreferences::ReadFileInteger(HS::ScanThresholdGoodPoor, 0), 17);  // put back
  const std::vector<std::string> lines = log.Lines();
  auto count = [&lines](const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("***Channel Analysis has been turned on. Reporting will occur every 1 minutes"), 1);
  EXPECT_EQ(count("Report begin"), 1);
  EXPECT_EQ(count("Total number of channel analysis reports: 1\tTest run time: 0 hours, 1 minutes, and 0 seconds"), 1);
  // Channel 11 (30) is left at thresholds up to 30 for the quieter 12 (5); from 35 it is kept.
  EXPECT_EQ(count("A switch from channel 11 to channel 12 has occurred due to the energy levels being too low."), 6);
  EXPECT_EQ(count("Channel 11 levels: 30.0000\tChannel 12 levels: 5.0000"), 6);
  EXPECT_EQ(count("Threshold: 30\tTotal switches: 100.00%\tSwitches due to PID:0.00%\tSwitches due to energy "
                  "levels:100.00%"),
            1);
  EXPECT_EQ(count("Threshold: 35\tTotal switches: 0.00%\tSwitches due to PID:0.00%\tSwitches due to energy "
                  "levels:0.00%"),
            1);
  EXPECT_EQ(count("Report end"), 1);
  EXPECT_EQ(count("Channel Analysis has been turned off."), 1);
}

// With nothing usable scanned the choice finds no channel: the receiver stays on its channel
// (no channel command at all, rather than channel index 4) and no threshold counts a switch.
TEST_F(ReceiverTest, ChannelAnalysisWithoutAUsableChannelKeepsTheChannel) {
  namespace HS = Voxlet::Preferences::HardwareService;
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysis, 1);
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysisFrequency, 1);
  LogCapture log;
  std::vector<Bytes> sent;
  {
    auto receiver = Make();
    ASSERT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
    auto none = std::make_shared<std::vector<CChannelScanResults>>();
    receiver->OnScanResults(0, 0, none);
    tick += 60001;
    receiver->OnScanResults(0, 0, none);
    sent = SentUpToMarker(*receiver);
  }
  for (const Bytes& packet : sent) EXPECT_FALSE(packet.size() >= 3 && packet[2] == 0x0D) << "a channel command";
  const std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("Total switches: 0.00%") != std::string::npos; }),
            10);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("A switch from channel") != std::string::npos; }),
            0);
}

}  // namespace

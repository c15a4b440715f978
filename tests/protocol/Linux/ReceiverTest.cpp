#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../LogCapture.h"
#include "../ReceiverFixtures.h"
#include "client/HardwareServicePreferences.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverPreferences.h"

using ::testing::_;
using ::testing::NiceMock;
namespace HS = Voxlet::Preferences::HardwareService;

namespace {

class ReceiverTest : public ::testing::Test {
 protected:
  ScopedTempRegistry registry;
  NiceMock<MockReceiverEvents> events;
  FakeLink* link = nullptr;
  uint32_t openResult = 0;
  std::atomic<uint32_t> tick{50000};
  std::string now = "2026-01-01T00:00:00.000Z";
  int startupStepMs = 600000;  // the start-up worker stays out of the way unless a test wants it
  size_t seen = 0;             // packets written before the last marker

  // What the receiver's I/O loop has written since the last call: a marker packet is queued
  // now, and what was queued before it has gone out once the marker has.
  std::vector<Bytes> SentSinceLastCall(CReceiver& receiver) {
    const Bytes marker = {0xEE, 0xEE, 0xEE};
    receiver.SendCommandText("ee,ee,ee", Delivery::kOnce);
    for (;;) {
      const std::vector<Bytes> sent = link->Sent();
      const auto at = std::find(sent.begin() + static_cast<long>(seen), sent.end(), marker);
      if (at != sent.end() || !link->WaitForSent(sent.size() + 1)) {
        std::vector<Bytes> since(sent.begin() + static_cast<long>(seen), at);
        seen = static_cast<size_t>(at - sent.begin()) + 1;
        return since;
      }
    }
  }

  std::unique_ptr<CReceiver> Make() {
    ReceiverEnvironment env;
    env.makeLink = [this](const SBConnectionInfo& info) {
      auto fake = std::make_unique<FakeLink>(info, openResult);
      link = fake.get();
      return fake;
    };
    // Texts that order like times: "now" plus an offset in the seconds field's place.
    env.timestamp = [this](int64_t seconds) { return Voxlet::UTF8to16(now + "+" + std::to_string(100000 + seconds)); };
    env.random = [] { return 7u; };
    env.clock = [this] { return tick.load(); };
    env.startupStepMs = startupStepMs;
    return std::make_unique<CReceiver>(&events, env);
  }
  std::unique_ptr<CReceiver> Opened() {
    auto receiver = Make();
    EXPECT_EQ(receiver->Open(u"/dev/ttyACM0"), 0u);
    return receiver;
  }
};

TEST_F(ReceiverTest, OpenStatusesAreLoggedAndReportedAndOpenLinksGetTheBaudRateAndANumber) {
  LogCapture log;
  openResult = 3;
  auto inUse = Make();
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 3u));
  EXPECT_EQ(inUse->Open(u"/dev/ttyACM7"), 3u);
  EXPECT_EQ(inUse->GetState(), 3u);
  EXPECT_EQ(inUse->Handler(), nullptr);
  openResult = 5;
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 5u));
  EXPECT_EQ(Make()->Open(u"/dev/ttyACM8"), 5u);
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"/dev/ttyACM7 - status change: device in use",
                                                   "/dev/ttyACM8 - Error opening connection: 5",
                                                   "/dev/ttyACM8 - status change: unknown"}));
  // Receivers are numbered in order, and the numbering restarts when all are gone.
  ::testing::Mock::VerifyAndClearExpectations(&events);
  inUse.reset();
  openResult = 0;
  auto a = Opened();
  EXPECT_EQ(link->baud.load(), static_cast<uint32_t>(HS::DefaultBaudRate));
  EXPECT_NE(a->Handler(), nullptr);
  auto b = Opened();
  EXPECT_EQ(a->GetReceiverNumber(), 1u);
  EXPECT_EQ(b->GetReceiverNumber(), 2u);
  EXPECT_EQ(ConnectedReceiverCount(), 2u);
  a->Close();
  b->Close();
  EXPECT_EQ(ConnectedReceiverCount(), 0u);
  WriteRegistryDword(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "BaudRate", 19200,
                     kRegistryStoreName);
  auto c = Opened();
  EXPECT_EQ(c->GetReceiverNumber(), 1u);
  EXPECT_EQ(link->baud.load(), 19200u);
}

// Start-up scans every channel (after powering the clickers down and stopping the network, which
// the replay transcripts pin), from a random channel when the one remembered is out of range.
TEST_F(ReceiverTest, StartUpFromAnOutOfRangeLastChannelGlobsToARandomOne) {
  startupStepMs = 10;
  ReceiverPreferences::WriteFileInteger(u"LastChannel(/dev/ttyACM0)", 27);
  LogCapture log;
  auto receiver = Opened();
  ASSERT_TRUE(link->WaitForSent(3));
  EXPECT_EQ(link->Sent()[2], (Bytes{0x00, 0x00, 0x17, 0x7F, 0xFF, 0x05, 0x06}));
  EXPECT_EQ(receiver->Network().CurrentChannel(), 18);  // 11 + (7 AND 15)
  receiver->Close();
  EXPECT_EQ(
      log.Count("We are just starting up so performing full scan of all channels, globbing to channel 18 for now"), 1u);
}

// Eight reports in a row that do not match the running network queue a reset, and an up report
// starts the count again; idle straight after up during a class is a watchdog reset at once.
TEST_F(ReceiverTest, MismatchingReportsQueueAReset) {
  LogCapture log;
  auto receiver = Opened();
  receiver->Network().SetNetworkStarted(true);
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(0);
  for (int i = 0; i < 7; ++i) receiver->OnReceiverStatus(0);
  receiver->OnReceiverStatus(2);  // back to the expected state
  for (int i = 0; i < 7; ++i) receiver->OnReceiverStatus(3);
  ::testing::Mock::VerifyAndClearExpectations(&events);
  EXPECT_CALL(events, QueueReceiverReset(Voxlet::StringBuffer(u"/dev/ttyACM0"))).Times(1);
  receiver->OnReceiverStatus(3);  // the eighth in a row
  ::testing::Mock::VerifyAndClearExpectations(&events);
  receiver->OnReceiverStatus(2);
  EXPECT_CALL(events, QueueReceiverReset(_)).Times(1);
  receiver->OnReceiverStatus(0);
  EXPECT_EQ(log.Count("The receiver has gone down during a class unexpectedly"), 1u);
  // Once for each run of idle reports: the first run's count started again.
  EXPECT_EQ(log.Count("We think the receiver network is started but the receiver is telling us that it is idle; this "
                      "has happened 1 time(s)"),
            2u);
}

// A scan ends on the scanning-to-idle step, or when the receiver has not been scanning for three
// reports; its end asks for the results of the channels scanned.
TEST_F(ReceiverTest, ScanEndsOnTheScanningToIdleStepOrTheThirdNonScanningReport) {
  LogCapture log;
  auto receiver = Opened();
  receiver->OnProductCode(0);  // "Voxlet": all 16 channels
  receiver->Network().RunBackgroundScan(0x0004);
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);
  EXPECT_EQ(SentSinceLastCall(*receiver).size(), 1u);  // the scan: no query yet
  receiver->OnReceiverStatus(3);
  receiver->OnReceiverStatus(3);  // the scan is over: nothing more
  EXPECT_EQ(SentSinceLastCall(*receiver), (std::vector<Bytes>{{0x00, 0x00, 0x11, 0x00, 0x04}}));

  receiver->Network().RunBackgroundScan(0xFFFF);
  for (uint8_t status : {1, 1, 0}) receiver->OnReceiverStatus(status);
  const std::vector<Bytes> sent = SentSinceLastCall(*receiver);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], (Bytes{0x00, 0x00, 0x11, 0xFF, 0xFF}));
  EXPECT_EQ(log.Count("We think that the channel scan is finished because we saw a scanning-->idle state transition; "
                      "sending a query for scan results"),
            1u);
}

TEST_F(ReceiverTest, UnexpectedScanIsAdoptedAndAnOverdueOneQueuesAReset) {
  LogCapture log;
  auto receiver = Opened();
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
  for (int i = 0; i < 102; ++i) receiver->OnReceiverStatus(0);
  receiver->OnReceiverStatus(2);  // a change after repeats logs them
  receiver->OnReceiverStatus(0);  // a change after a single report does not
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "DEVICE_STATUS receiver - previous status 0 (FLAG_NETWORK_STATUS_IDLE) repeated 100 time(s)",
                "DEVICE_STATUS receiver - ucNetworkStatus: 0 (FLAG_NETWORK_STATUS_IDLE)",
                "DEVICE_STATUS receiver - previous status 0 (FLAG_NETWORK_STATUS_IDLE) repeated 1 time(s)",
                "DEVICE_STATUS receiver - ucNetworkStatus: 2 (FLAG_NETWORK_STATUS_UP)"}));
}

TEST_F(ReceiverTest, PeriodicScansTakeOneChannelEveryIntervalRoundRobin) {
  auto receiver = Opened();
  receiver->OnProductCode(0);
  const int interval = 14;  // the default interval; the default durations make it no longer
  for (int i = 0; i < interval - 1; ++i) receiver->Network().RunBackgroundScan(0);
  EXPECT_TRUE(SentSinceLastCall(*receiver).empty());
  receiver->Network().RunBackgroundScan(0);
  for (int i = 0; i < 2 * interval; ++i) receiver->Network().RunBackgroundScan(0);  // none while it runs
  std::vector<Bytes> sent = SentSinceLastCall(*receiver);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 5), (Bytes{0, 0, 0x17, 0x00, 0x01}));
  // Its end hands the pending mask on; the next interval scans the next channel.
  for (int i = 0; i < 3; ++i) receiver->OnReceiverStatus(3);
  for (int i = 0; i < interval; ++i) receiver->Network().RunBackgroundScan(0);
  sent = SentSinceLastCall(*receiver);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (Bytes{0, 0, 0x11, 0x00, 0x01}));
  EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 5), (Bytes{0, 0, 0x17, 0x00, 0x02}));
}

// The receiver's reports set its fields. A text of more bytes than a packet holds is refused
// whole, never cut or sent in pieces.
TEST_F(ReceiverTest, ReportsSetTheFieldsCommandTextIsQueuedAsItsBytesAndClosingStopsTheNetwork) {
  auto receiver = Opened();
  receiver->OnNetworkState(true);
  EXPECT_TRUE(receiver->Network().NetworkStarted());
  receiver->OnChannel(0, 4);
  EXPECT_EQ(receiver->Network().CurrentChannel(), 15);
  EXPECT_EQ(ReceiverPreferences::ReadFileInteger(u"LastChannel(/dev/ttyACM0)", -1), 15);
  LogCapture log;
  receiver->SendCommandText("1,zz,27,3", Delivery::kOnce);
  std::string tooLong = "0,0,1";
  for (int i = 0; i < 257; ++i) tooLong += ",10";
  receiver->SendCommandText(tooLong, Delivery::kOnce);
  EXPECT_EQ(SentSinceLastCall(*receiver), (std::vector<Bytes>{{0x01, 0xFF, 0x27, 0x03}}));
  EXPECT_EQ(log.Count("/dev/ttyACM0 - Command text refused: 260 bytes, a receiver takes at most 259."), 1u);
  // The network stop of a closing receiver goes out at once, even when a packet sent earlier
  // still waits at the queue's front for its answer.
  receiver->SendCommandText("00,00,13", Delivery::kRetry);  // retried until answered; the link never answers
  ASSERT_TRUE(link->WaitForSent(seen + 1));
  receiver->Close();
  const std::vector<Bytes> sent = link->Sent();
  EXPECT_EQ(sent[seen], (Bytes{0x00, 0x00, 0x13}));
  EXPECT_EQ(sent.back(), (Bytes{0x00, 0x00, 0x04, 0x00}));
}

// The dispatcher may queue replies while the receiver closes (here as fast as a thread can): the
// network stop is still the last frame the receiver gets, never one of them in its place.
TEST_F(ReceiverTest, TheNetworkStopIsTheLastFrameWhileRepliesAreQueuedDuringTheClose) {
  for (int round = 0; round < 150; ++round) {
    auto receiver = Opened();
    CReceiverProtocolHandler* handler = receiver->Handler();
    std::atomic<bool> closed{false};
    std::thread replies([&] {
      while (!closed.load()) handler->ReplyNetworkState(5);
    });
    receiver->Close();
    closed = true;
    replies.join();
    ASSERT_EQ(link->Sent().back(), (Bytes{0x00, 0x00, 0x04, 0x00})) << "round " << round;
  }
}

// A diagnostic client's command goes out once: one the receiver never acknowledges (its product
// code is answered by a report) holds nothing behind it.
TEST_F(ReceiverTest, ADiagnosticCommandIsSentOnceAndHoldsNothingBehindIt) {
  auto receiver = Opened();
  receiver->SendDiagnosticCommand("0,0,2a");
  receiver->Handler()->SetChannel(3);
  EXPECT_EQ(SentSinceLastCall(*receiver), (std::vector<Bytes>{{0x00, 0x00, 0x2A}, {0x00, 0x00, 0x0D, 0x03}}));
}

TEST_F(ReceiverTest, ChannelAnalysisReportsSwitchesPerThreshold) {
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysis, 1);
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysisFrequency, 1);
  ReceiverPreferences::WriteFileInteger(HS::ScanThresholdGoodPoor, 17);
  LogCapture log;
  {
    auto receiver = Opened();
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
  // Channel 11 (30) is left at thresholds up to 30 for the quieter 12 (5); from 35 it is kept.
  const std::pair<const char*, size_t> expected[] = {
      {"***Channel Analysis has been turned on. Reporting will occur every 1 minutes", 1},
      {"Report begin", 1},
      {"Total number of channel analysis reports: 1\tTest run time: 0 hours, 1 minutes, and 0 seconds", 1},
      {"A switch from channel 11 to channel 12 has occurred due to the energy levels being too low.", 6},
      {"Channel 11 levels: 30.0000\tChannel 12 levels: 5.0000", 6},
      {"Threshold: 30\tTotal switches: 100.00%\tSwitches due to PID:0.00%\tSwitches due to energy levels:100.00%", 1},
      {"Threshold: 35\tTotal switches: 0.00%\tSwitches due to PID:0.00%\tSwitches due to energy levels:0.00%", 1},
      {"Report end", 1},
      {"Channel Analysis has been turned off.", 1}};
  for (const auto& [line, times] : expected) EXPECT_EQ(log.Count(line), times) << line;
}

// With nothing usable scanned the choice finds no channel: the receiver stays on its channel
// (no channel command at all, rather than channel index 4) and no threshold counts a switch.
TEST_F(ReceiverTest, ChannelAnalysisWithoutAUsableChannelKeepsTheChannel) {
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysis, 1);
  ReceiverPreferences::WriteFileInteger(HS::ChannelAnalysisFrequency, 1);
  LogCapture log;
  std::vector<Bytes> sent;
  {
    auto receiver = Opened();
    auto none = std::make_shared<std::vector<CChannelScanResults>>();
    receiver->OnScanResults(0, 0, none);
    tick += 60001;
    receiver->OnScanResults(0, 0, none);
    sent = SentSinceLastCall(*receiver);
  }
  for (const Bytes& packet : sent) EXPECT_FALSE(packet.size() >= 3 && packet[2] == 0x0D) << "a channel command";
  EXPECT_EQ(log.Containing("Total switches: 0.00%").size(), 10u);
  EXPECT_TRUE(log.Containing("A switch from channel").empty());
}

}  // namespace

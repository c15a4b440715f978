// The service's receiver, link and protocol against the receiver simulator on a pty.
#include <gtest/gtest.h>

#include <thread>

#include "../connections/CpuTime.h"
#include "LogCapture.h"
#include "ReceiverFixtures.h"
#include "ReceiverSimulator.h"
#include "protocol/Receiver.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::NiceMock;

namespace {

// A receiver that tells the test when scan results, raised hands and answers have been handled.
class ObservedReceiver : public CReceiver {
 public:
  using CReceiver::CReceiver;
  ~ObservedReceiver() override { Close(); }
  void OnScanResults(uint16_t scanned, uint16_t pans, const ChannelScanResultsArray& results) override {
    CReceiver::OnScanResults(scanned, pans, results);
    scanned_.Set();
  }
  void OnHandUp(uint16_t address, bool up) override {
    CReceiver::OnHandUp(address, up);
    if (address == 0x0101 && up) handUp_.Set();
  }
  void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequence, uint8_t total, uint8_t number, uint8_t question,
                              const uint8_t* data, uint32_t length) override {
    CReceiver::OnEnhancedAnswerUpload(address, sequence, total, number, question, data, length);
    if (number + 1 == total) lastPart_.Set();
  }
  CWaitEvent scanned_, handUp_, lastPart_;
};

bool HasPacket(const std::vector<Bytes>& received, const Bytes& packet) {
  return std::find(received.begin(), received.end(), packet) != received.end();
}

class ReceiverOverPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config.scanMs = 50;
    config.energies[0] = 40;
    config.energies[3] = 3;
    config.panIds[1] = 0x1234;
  }
  std::unique_ptr<ObservedReceiver> Make() {
    ReceiverEnvironment env;
    env.startupStepMs = 20;
    return std::make_unique<ObservedReceiver>(&events, env);
  }
  ScopedRegistry registry;
  NiceMock<MockReceiverEvents> events;
  SimulatorConfig config;
};

TEST_F(ReceiverOverPtyTest, StartUpSequenceOnTheWireEndsWithTheScanResults) {
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(Voxlet::UTF8to16(sim.SlavePath())), 0u);
  EXPECT_EQ(sim.LineBaud(), 57600u);  // the default BaudRate
  ASSERT_TRUE(receiver->scanned_.Wait(20000));
  const std::vector<Bytes> received = sim.Received();
  ASSERT_GE(received.size(), 4u);
  EXPECT_EQ(received[0], (Bytes{0x00, 0x00, 0x0E, 0x02}));                    // power off all clickers
  EXPECT_EQ(received[1], (Bytes{0x00, 0x00, 0x04, 0x00}));                    // network stop
  EXPECT_EQ(received[2], (Bytes{0x00, 0x00, 0x17, 0x7F, 0xFF, 0x05, 0x06}));  // full scan
  EXPECT_EQ(received[3], (Bytes{0x00, 0x00, 0x11, 0x7F, 0xFF}));              // results query
  EXPECT_EQ(sim.BadFrames(), 0);
  const ScanResultsTable table = receiver->Network().ScanResults();
  EXPECT_EQ(table.Channel(11).latest.value, u"40");
  EXPECT_EQ(table.Channel(12).latest.pid, u"0x1234");
  EXPECT_EQ(table.Channel(14).latest.value, u"3");
  EXPECT_TRUE(table.Channel(26).latest.timestamp.empty());  // never scanned on this receiver
}

TEST_F(ReceiverOverPtyTest, ClickerPacketsAreAcknowledgedEvenWhenSplitAcrossWrites) {
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(Voxlet::UTF8to16(sim.SlavePath())), 0u);
  sim.splitFrames = true;
  sim.RaiseHand(1, true);
  ASSERT_TRUE(receiver->handUp_.Wait(10000));
  EXPECT_TRUE(sim.WaitFor([](const auto& r) { return HasPacket(r, {0x00, 0x00, 0x8C}); }, 10000));
  sim.EnhancedAnswer(2, 7, 3, Bytes(20, 0x41), 8);
  ASSERT_TRUE(receiver->lastPart_.Wait(10000));
  EXPECT_TRUE(sim.WaitFor(
      [](const auto& r) {
        return std::count(r.begin(), r.end(), Bytes{0x00, 0x00, 0xA5}) == 3;
      },
      10000));
}

TEST_F(ReceiverOverPtyTest, CorruptedFramesAreNeitherAcknowledgedNorHandled) {
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  LogCapture log;
  auto receiver = Make();
  ASSERT_EQ(receiver->Open(Voxlet::UTF8to16(sim.SlavePath())), 0u);
  sim.corruptChecksums = true;
  sim.RaiseHand(1, true);
  sim.corruptChecksums = false;
  sim.RaiseHand(1, true);
  ASSERT_TRUE(receiver->handUp_.Wait(10000));
  // The answer is written before the packet is handled, but the simulator reads it on a thread
  // of its own: wait for it before counting.
  EXPECT_TRUE(sim.WaitFor([](const auto& r) { return HasPacket(r, {0x00, 0x00, 0x8C}); }, 10000));
  receiver->Close();
  const std::vector<Bytes> received = sim.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), Bytes{0x00, 0x00, 0x8C}), 1);
  EXPECT_GE(log.Count(std::string(Voxlet::UTF16to8(receiver->GetPortName())) + " - Bad checksum on packet"), 1u);
}

TEST_F(ReceiverOverPtyTest, UnpluggedReceiverEndsInALostDeviceWithoutSpinning) {
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  auto receiver = Make();
  CWaitEvent lost;
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 0u));
  EXPECT_CALL(events, OnReceiverStatusChanged(_, 2u));
  EXPECT_CALL(events, QueueReceiverReset(Voxlet::UTF8to16(sim.SlavePath())))
      .WillOnce(Invoke([&](const Voxlet::StringBuffer&) { lost.Set(); }));
  ASSERT_EQ(receiver->Open(Voxlet::UTF8to16(sim.SlavePath())), 0u);
  ASSERT_TRUE(receiver->scanned_.Wait(20000));
  sim.Unplug();
  ASSERT_TRUE(lost.Wait(10000));
  EXPECT_EQ(receiver->GetState(), 2u);
  // From here nothing happens: neither the link's thread nor the receiver's may spin.
  EXPECT_LT(CpuMsOverIdleWindow(), kIdleBudgetMs);
  receiver->Close();
}

}  // namespace

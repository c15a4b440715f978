#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "CpuTime.h"
#include "ReceiverSimulator.h"
#include "SimFraming.h"
#include "connections/SBConnection.h"

using Bytes = std::vector<uint8_t>;

namespace {

SBConnectionInfo ComInfo(const std::string& path) {
  SBConnectionInfo info;
  info.connectionKind = kConnectionCom;
  info.portName = Voxlet::UTF8to16(path);
  return info;
}

// Reads link blocks until `count` bytes have come (or nothing more comes within 5 s).
Bytes ReadBytes(ISBConnection& link, size_t count) {
  Bytes bytes;
  while (bytes.size() < count) {
    if (!link.GetReceiveEvent()->Wait(5000)) break;
    while (auto packet = link.GetReceivedPacket())
      bytes.insert(bytes.end(), packet->Payload(), packet->Payload() + packet->PayloadLength());
  }
  return bytes;
}

std::unique_ptr<CSBIOPacket> Block(const Bytes& bytes, uint8_t flag = 0) {
  auto packet = std::make_unique<CSBIOPacket>(bytes.data(), static_cast<uint32_t>(bytes.size()), false);
  packet->m_flag = flag;
  return packet;
}

class LinkOverPtyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim.Start()); }
  CReceiverSimulator sim;
};

}  // namespace

TEST_F(LinkOverPtyTest, OpenResultsNotPresentInUseAlreadyOpenAndOtherErrors) {
  CSBConnection missing(ComInfo("/dev/no-such-receiver"));
  EXPECT_EQ(missing.Open(), 2u);
  EXPECT_FALSE(missing.IsOpen());

  {
    // Another program holding the tty.
    const int other = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    CSBConnection held(ComInfo(sim.SlavePath()));
    EXPECT_EQ(held.Open(), 3u);
    close(other);
  }

  CSBConnection link(ComInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.Open(), 110u);
  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.Open(), 0u);  // opens again after a close

  char path[] = "/tmp/ovanta-notatty-XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  CSBConnection file(ComInfo(path));
  EXPECT_EQ(file.Open(), static_cast<uint32_t>(ENOTTY));
  unlink(path);
}

TEST_F(LinkOverPtyTest, BytesTravelBothWaysAndFlaggedBlocksAreDropped) {
  CSBConnection link(ComInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  sim.SendPacket({0x00, 0x00, 0x2A, 0x01});
  EXPECT_EQ(ReadBytes(link, 7), SimFraming::Frame({0x00, 0x00, 0x2A, 0x01}));

  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x06, 0x05}), 1));  // flagged: never written
  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x0D, 0x03})));
  EXPECT_TRUE(link.WaitForSendsDone());
  ASSERT_TRUE(sim.WaitFor([](const auto& r) { return !r.empty(); }, 5000));
  EXPECT_EQ(sim.Received(), (std::vector<Bytes>{{0x00, 0x00, 0x0D, 0x03}}));
}

TEST_F(LinkOverPtyTest, LineSettingsReachTheLine) {
  CSBConnection link(ComInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  EXPECT_EQ(sim.LineBaud(), 9600u);
  ASSERT_TRUE(link.SetCommParams(57600, 8, 0, 0));
  EXPECT_EQ(sim.LineBaud(), 57600u);
  uint32_t baud = 0;
  uint8_t size = 0, parity = 9, stop = 9;
  ASSERT_TRUE(link.GetCommParams(&baud, &size, &parity, &stop));
  EXPECT_EQ(baud, 57600u);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(parity, 0);
  EXPECT_EQ(stop, 0);
  EXPECT_FALSE(link.SetCommParams(12345, 8, 0, 0));
  EXPECT_EQ(link.GetPnPId(), u"");  // a pty never answers the Plug and Play sequence
}

// A receiver that answers the probes at 57600 or 19200 is found there; one that answers none
// leaves the port at 9600 8N1, whatever it was set to before.
TEST(LinkDetectionTest, DetectionFindsTheReceiversLineSettingOrFallsBackTo9600EightNoneOne) {
  for (uint32_t probeBaud : {57600u, 19200u, 0u}) {
    SimulatorConfig config;
    config.probeBaud = probeBaud;
    CReceiverSimulator sim(config);
    ASSERT_TRUE(sim.Start());
    CSBConnection link(ComInfo(sim.SlavePath()));
    ASSERT_EQ(link.Open(), 0u);
    const uint32_t expected = probeBaud != 0 ? probeBaud : 9600;
    if (probeBaud == 0) {
      ASSERT_TRUE(link.SetCommParams(57600, 8, 0, 0));
      EXPECT_FALSE(link.ResetDevice(1));
    } else {
      EXPECT_TRUE(link.ResetDevice(0)) << probeBaud;
      EXPECT_EQ(sim.LineBaud(), probeBaud);
    }
    uint32_t baud = 0;
    uint8_t size = 0, parity = 9, stop = 9;
    ASSERT_TRUE(link.GetCommParams(&baud, &size, &parity, &stop));
    EXPECT_EQ(baud, expected);
    EXPECT_EQ(parity, 0) << probeBaud;
    EXPECT_EQ(stop, 0) << probeBaud;
  }
}

TEST_F(LinkOverPtyTest, UnpluggedReceiverIsALostDeviceAndTheLinkGoesIdle) {
  CSBConnection link(ComInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  sim.SendPacket({0x00, 0x00, 0x01, 0x02});
  ReadBytes(link, 7);
  EXPECT_FALSE(link.IsDeviceLost());
  sim.Unplug();
  // The consumer is woken and learns the device is gone.
  ASSERT_TRUE(link.GetReceiveEvent()->Wait(5000));
  while (link.GetReceivedPacket()) {
  }
  for (int i = 0; i < 50 && !link.IsDeviceLost(); ++i) link.GetReceiveEvent()->Wait(100);
  EXPECT_TRUE(link.IsDeviceLost());
  // Writes to a lost device are discarded, not retried.
  link.Send(Block({0x01, 0x02}));
  EXPECT_TRUE(link.WaitForSendsDone());
  // Nothing happens from here on: the I/O thread must not spin on the hung-up tty.
  EXPECT_LT(CpuMsOverIdleWindow(), kIdleBudgetMs);
  link.Close();
}

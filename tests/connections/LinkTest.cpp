// The receiver's serial link over a pseudo-terminal with the receiver simulator, and the parts
// of it tested on their own. (The service opens every receiver as a tty: the HID and Prolific
// ports are never made, and the HID descriptor parser is fuzzed.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ReceiverSimulator.h"
#include "SimFraming.h"
#include "connections/SBConnection.h"
#include "connections/TtyLine.h"
#include "connections/TwoThreadIOQueue.h"
#include "tests/service/TestFiles.h"

using Bytes = std::vector<uint8_t>;

namespace {

// "No thread spins": the CPU time (user + system) the whole process uses over a window of
// 1.5 s may be at most 40 % of one core. A spinning thread takes far more even on a loaded
// 2-core machine with two other busy processes (a third of 2 cores, 1 s), while the sanitizers'
// own background work and a thread woken now and then stay far below it.
constexpr long kIdleWindowMs = 1500;
constexpr long kIdleBudgetMs = kIdleWindowMs * 40 / 100;
long CpuMsOverIdleWindow() {
  const auto cpuMs = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
  };
  const long before = cpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWindowMs));
  return cpuMs() - before;
}

SBConnectionInfo LinkInfo(const std::string& path, uint32_t kind = kConnectionCom) {
  SBConnectionInfo info;
  info.connectionKind = kind;
  info.portName = Voxlet::UTF8to16(path);
  return info;
}

std::unique_ptr<CSBIOPacket> Block(const Bytes& bytes) {
  return std::make_unique<CSBIOPacket>(bytes.data(), static_cast<uint32_t>(bytes.size()), false);
}

}  // namespace

// Open answers not present, in use, already open or the error; an open link starts at 9600,
// refuses rates a tty has not and writes what it is given.
TEST(LinkOverPtyTest, OpenResultsAndWhatAnOpenLinkWrites) {
  CReceiverSimulator sim;
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(CSBConnection(LinkInfo("/dev/no-such-receiver")).Open(), 2u);
  {
    // Another program holding the tty.
    const int other = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(CSBConnection(LinkInfo(sim.SlavePath())).Open(), 3u);
    close(other);
  }
  CSBConnection link(LinkInfo(sim.SlavePath()));
  EXPECT_FALSE(link.IsOpen());
  ASSERT_EQ(link.Open(), 0u);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.Open(), 110u);
  EXPECT_EQ(sim.LineBaud(), 9600u);
  EXPECT_FALSE(link.SetCommParams(12345, 8, 0, 0));
  EXPECT_EQ(link.GetPnPId(), u"");  // a pty never answers the Plug and Play sequence
  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x0D, 0x03})));
  EXPECT_TRUE(link.WaitForSendsDone());
  ASSERT_TRUE(sim.WaitFor([](const auto& r) { return !r.empty(); }, 5000));
  EXPECT_EQ(sim.Received(), (std::vector<Bytes>{{0x00, 0x00, 0x0D, 0x03}}));
  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.Open(), 0u);  // opens again after a close

  TempDir dir;
  WriteFile(dir.File("notatty"), "");
  EXPECT_EQ(CSBConnection(LinkInfo(dir.File("notatty"))).Open(), static_cast<uint32_t>(ENOTTY));
}

// An unplugged receiver wakes the consumer and is flagged lost; writes to it are discarded,
// and from then on the link's I/O thread must not spin on the hung-up tty.
TEST(LinkOverPtyTest, UnpluggedReceiverIsALostDeviceAndTheLinkGoesIdle) {
  CReceiverSimulator sim;
  ASSERT_TRUE(sim.Start());
  CSBConnection link(LinkInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  sim.Unplug();
  for (int i = 0; i < 50 && !link.IsDeviceLost(); ++i) {
    link.GetReceiveEvent()->Wait(100);
    while (link.GetReceivedPacket()) {
    }
  }
  EXPECT_TRUE(link.IsDeviceLost());
  link.Send(Block({0x01, 0x02}));
  EXPECT_TRUE(link.WaitForSendsDone());
  EXPECT_LT(CpuMsOverIdleWindow(), kIdleBudgetMs);
  link.Close();
}

// A receiver that answers the probes at 57600, 19200 or 9600 8O2 is found there; one that
// answers none leaves the port at 9600 8N1, whatever it was set to before. (A pty keeps no
// parity: 8O2 reads back as 8N2.)
TEST(LinkDetectionTest, DetectionFindsTheReceiversLineSettingOrFallsBackTo9600EightNoneOne) {
  for (const auto& [probeBaud, oddTwo] : {std::pair{57600u, false}, {19200u, false}, {9600u, true}, {0u, false}}) {
    SimulatorConfig config;
    config.probeBaud = probeBaud;
    config.probeOddParityTwoStop = oddTwo;
    CReceiverSimulator sim(config);
    ASSERT_TRUE(sim.Start());
    CSBConnection link(LinkInfo(sim.SlavePath()));
    ASSERT_EQ(link.Open(), 0u);
    ASSERT_TRUE(link.SetCommParams(57600, 8, 0, 0));
    EXPECT_EQ(link.ResetDevice(probeBaud == 0 ? 1 : 0), probeBaud != 0) << probeBaud;
    const uint32_t expected = probeBaud != 0 ? probeBaud : 9600;
    EXPECT_EQ(sim.LineBaud(), expected);
    uint32_t baud = 0;
    uint8_t size = 0, parity = 9, stop = 9;
    ASSERT_TRUE(link.GetCommParams(&baud, &size, &parity, &stop));
    EXPECT_EQ((std::vector<uint32_t>{baud, size, parity, stop}),
              (std::vector<uint32_t>{expected, 8, 0, oddTwo ? 2u : 0u}))
        << probeBaud;
  }
}

TEST(TwoThreadIOQueueTest, EventsFollowTheQueuesAndOnlyAWrittenQueueCountsAsEmpty) {
  CTwoThreadIOQueue queue;
  queue.PushReceived(Block({1}));
  queue.PushReceived(Block({1}));
  EXPECT_TRUE(queue.ReceivedEvent().IsSet());
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_FALSE(queue.ReceivedEvent().IsSet());  // reset on every pop: drain until null
  EXPECT_NE(queue.PopReceived(), nullptr);
  EXPECT_EQ(queue.PopReceived(), nullptr);

  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
  queue.PushOutgoing(Block({1}));
  EXPECT_TRUE(queue.OutgoingEvent().IsSet());
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());  // nobody drains it
  EXPECT_NE(queue.PopOutgoing(), nullptr);
  // Taken but not yet written: a link closed now would lose it.
  EXPECT_FALSE(queue.WaitUntilOutgoingEmpty());
  EXPECT_EQ(queue.PopOutgoing(), nullptr);
  queue.MarkOutgoingWritten();
  EXPECT_TRUE(queue.WaitUntilOutgoingEmpty());
}

TEST(TtyLineTest, SettingsRoundTripThroughTermios) {
  termios tio{};
  for (const LineSettings& s : {LineSettings{9600, 8, 1, 2}, LineSettings{57600, 8, 0, 0}, LineSettings{1200, 7, 0, 0},
                                LineSettings{19200, 8, 2, 0}}) {
    ASSERT_TRUE(TtyLine::Apply(s, &tio));
    EXPECT_EQ(TtyLine::Read(tio), s);
  }
  EXPECT_FALSE(TtyLine::Apply(LineSettings{1234, 8, 0, 0}, &tio));
  EXPECT_FALSE(TtyLine::Apply(LineSettings{9600, 9, 0, 0}, &tio));
}

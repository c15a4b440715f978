// The Linux links: a serial link over a pseudo-terminal with the receiver simulator, the tty
// line settings, and the HID and USB-serial ports with test devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "ReceiverSimulator.h"
#include "SimFraming.h"
#include "connections/Linux/ThreadedCOMPort.h"
#include "connections/Linux/ThreadedHIDPort.h"
#include "connections/Linux/ThreadedProlificPort.h"
#include "connections/Linux/TtyLine.h"
#include "connections/SBConnection.h"
#include "tests/connections/LinkBlocks.h"
#include "tests/service/TestFiles.h"

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

// A HID port whose device is a FIFO: every report written comes back as input.
class LoopbackHidPort : public CThreadedHIDPort {
 protected:
  bool ReadDeviceInfo(HidReportLengths* lengths, uint16_t* productId) override {
    *lengths = {5, 5, 3, true};
    *productId = 0x3000;
    return true;
  }
};

class CountingProlificPort : public CThreadedProlificPort {
 public:
  CountingProlificPort() : CThreadedProlificPort("") {}
  void FailRead() { OnReadFailed(); }
  int restarts = 0;

 protected:
  void RestartDevice() override { ++restarts; }
};

// A serial port that records what it does to the tty's control lines and closing wait (a pty
// has neither), and does it as well.
class RecordingComPort : public CThreadedCOMPort {
 public:
  ~RecordingComPort() override { ClosePort(); }  // while the recording is still there
  std::vector<std::string> Controls() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_controls;
  }

 protected:
  void SetModemLines(int lines, bool on) override {
    Record(std::string(lines & TIOCM_DTR ? "DTR" : "") + (lines & TIOCM_RTS ? "RTS" : "") + (on ? " up" : " down"));
    CThreadedCOMPort::SetModemLines(lines, on);
  }
  void SetClosingWait(unsigned short centiseconds) override {
    Record("closing wait " + std::to_string(centiseconds));
    CThreadedCOMPort::SetClosingWait(centiseconds);
  }

 private:
  void Record(const std::string& what) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_controls.push_back(what);
  }
  std::mutex m_lock;
  std::vector<std::string> m_controls;
};

}  // namespace

// The line a receiver wants: DTR down and RTS up once open. A close gives what was written a
// second to drain, and a device that is gone none at all: a USB tty's driver would otherwise
// wait up to 30 s for output that device never takes.
TEST(LinkOverPtyTest, OpenLowersDtrAndACloseWaitsForALostDeviceNotAtAll) {
  for (const bool unplugged : {false, true}) {
    CReceiverSimulator sim;
    ASSERT_TRUE(sim.Start());
    RecordingComPort port;
    ASSERT_EQ(port.OpenPort(sim.SlavePath()), std::error_code());
    EXPECT_EQ(port.Controls(), (std::vector<std::string>{"DTR down", "RTS up"}));
    if (unplugged) {
      sim.Unplug();
      for (int i = 0; i < 50 && !port.IsDeviceLost(); ++i) port.Queue().ReceivedEvent().Wait(100);
      ASSERT_TRUE(port.IsDeviceLost());
    }
    port.ClosePort();
    const std::vector<std::string> controls = port.Controls();
    EXPECT_EQ(controls.back(), unplugged ? "closing wait 65535" : "closing wait 100");
    EXPECT_EQ(std::count(controls.begin(), controls.end(), controls.back()), 1);
  }
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  EXPECT_FALSE(TtyLine::SetClosingWait(slave, TtyLine::kNoClosingWait));  // a pty keeps none
  close(slave);
  close(master);
}

// Open answers not present, in use, already open or the error; an open link starts at 9600,
// refuses rates a tty has not, and never writes blocks flagged for another kind of port.
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
  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x06, 0x05}), 1));
  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x0D, 0x03})));
  EXPECT_TRUE(link.WaitForSendsDone());
  ASSERT_TRUE(sim.WaitFor([](const auto& r) { return !r.empty(); }, 5000));
  EXPECT_EQ(sim.Received(), (std::vector<Bytes>{{0x00, 0x00, 0x0D, 0x03}}));
  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.Open(), 0u);  // opens again after a close

  TempDir dir;
  WriteFile(dir.File("notatty"), "");
  // A file that is no tty is no serial port: "incorrect function", as on Windows (not Linux's
  // ENOTTY, 25, which is another Win32 error).
  EXPECT_EQ(CSBConnection(LinkInfo(dir.File("notatty"))).Open(), LinkResult::kNotALinkDevice);
  // Linux's own system errors are errno values: a time-out (110) is not "already open".
  EXPECT_EQ(LinkResult::FromError(std::error_code(ETIMEDOUT, std::system_category())), LinkResult::kTimedOut);
  EXPECT_EQ(LinkResult::FromError(std::error_code(EBUSY, std::system_category())), LinkResult::kInUse);
  EXPECT_EQ(LinkResult::FromError(std::error_code(EIO, std::system_category())), static_cast<uint32_t>(EIO));
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

// A block with nothing to write is done at once: it neither holds back the blocks behind it nor
// keeps the I/O thread waking for a tty that is ready to take bytes.
TEST(LinkOverPtyTest, AnEmptyBlockIsDoneAtOnce) {
  CReceiverSimulator sim;
  ASSERT_TRUE(sim.Start());
  CSBConnection link(LinkInfo(sim.SlavePath()));
  ASSERT_EQ(link.Open(), 0u);
  link.Send(Block({}));
  EXPECT_TRUE(link.WaitForSendsDone());
  EXPECT_LT(CpuMsOverIdleWindow(), kIdleBudgetMs);
  link.Send(Block(SimFraming::Frame({0x00, 0x00, 0x0D, 0x03})));
  EXPECT_TRUE(link.WaitForSendsDone());
  ASSERT_TRUE(sim.WaitFor([](const auto& r) { return !r.empty(); }, 5000));
  EXPECT_EQ(sim.Received(), (std::vector<Bytes>{{0x00, 0x00, 0x0D, 0x03}}));
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

// Only reports of the exact lengths are written and read; the link has no line settings.
TEST(HidPortTest, OnlyReportsOfTheExactLengthsAreWrittenAndRead) {
  TempDir dir;
  const std::string fifo = dir.File("hidraw");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  LoopbackHidPort port;
  ASSERT_EQ(port.OpenPort(fifo), std::error_code());
  for (const auto& [stored, flag] : {std::pair<Bytes, uint8_t>{{0x02, 0xAA, 0xBB, 0xCC}, 0},  // too short
                                     {{0x02, 0xAA, 0xBB}, 1},                                 // a feature report
                                     {{0x01, 0x11, 0x22, 0x33, 0x44}, 0}}) {                  // exact
    port.Queue().PushOutgoing(Block(stored, flag, true));
  }
  ASSERT_TRUE(port.Queue().ReceivedEvent().Wait(5000));
  auto packet = port.Queue().PopReceived();
  ASSERT_NE(packet, nullptr);
  // Stored raw (the payload after the report id); product 3000 (decimal) is not 0x3000, so
  // nothing is trimmed.
  EXPECT_EQ(Bytes(packet->Data(), packet->Data() + packet->StoredLength()), (Bytes{0x01, 0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(Bytes(packet->Payload(), packet->Payload() + packet->PayloadLength()), (Bytes{0x11, 0x22, 0x33, 0x44}));
  EXPECT_EQ(port.Queue().PopReceived(), nullptr);
  port.ClosePort();

  CSBConnection link(LinkInfo("/dev/no-such-hidraw", kConnectionHid));
  EXPECT_FALSE(link.SetCommParams(9600, 8, 0, 0));
  EXPECT_FALSE(link.ResetDevice(0));
  EXPECT_EQ(link.Open(), 2u);
}

TEST(ProlificPortTest, BridgeIsRestartedOnceEvery75FailedReads) {
  CountingProlificPort port;
  for (int i = 0; i < 74; ++i) port.FailRead();
  EXPECT_EQ(port.restarts, 0);
  port.FailRead();
  EXPECT_EQ(port.restarts, 1);
  EXPECT_EQ(port.FailedReads(), 0);
  EXPECT_TRUE(port.IsDeviceLost());
  for (int i = 0; i < 75; ++i) port.FailRead();
  EXPECT_EQ(port.restarts, 2);
}

// The receiver simulator on an existing tty (--tty), as it plays a USB gadget's far end: here the
// tty is a pty's slave opened by its path, the test holding the master as the service's side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/receiver-sim/SimFraming.h"

namespace {

struct PtyPair {
  int master = -1;
  std::string slavePath;
  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slavePath = ptsname(master);
  }
  ~PtyPair() {
    if (master >= 0) close(master);
  }
};

// Reads from fd until `enough` holds for what came, or 5 s passed.
std::vector<uint8_t> ReadUntil(int fd, const std::function<bool(const std::vector<uint8_t>&)>& enough) {
  std::vector<uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!enough(got) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    uint8_t buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

}  // namespace

// A USB line has no speed: the detection probe is answered whatever the tty is set to, where
// a simulator on its own pty answers only at its configured setting.
TEST(ToolsReceiverSimTty, AnswersTheDetectionProbeAtAnyLineSettingAndServesPackets) {
  PtyPair pty;
  ASSERT_FALSE(pty.slavePath.empty());
  SimulatorConfig config;
  config.ttyPath = pty.slavePath;
  config.probeBaud = 57600;
  config.macLow = 0x0A0B0C42;
  CReceiverSimulator sim(config);
  ASSERT_TRUE(sim.Start());
  EXPECT_EQ(sim.SlavePath(), pty.slavePath);

  // The simulator set its tty raw; 9600 8O2 is the service's first candidate, not 57600.
  termios tio{};
  ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
  cfsetspeed(&tio, B9600);
  tio.c_cflag |= CSTOPB | PARENB | PARODD;
  ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &tio), 0);
  const std::vector<uint8_t> probe = {0x15, 0x2A, 0x16, 0x02, 0x00, 0x00};
  ASSERT_EQ(write(pty.master, probe.data(), probe.size()), static_cast<ssize_t>(probe.size()));
  const std::vector<uint8_t> answer = {0x15, 0x2A, 0x16, 0x02, 0x01};
  EXPECT_TRUE(Contains(ReadUntil(pty.master, [&](const auto& got) { return Contains(got, answer); }), answer));

  // A framed MAC-address query gets the receiver's MAC back through the same tty.
  const std::vector<uint8_t> query = SimFraming::Frame({0x00, 0x00, 0x16, 0x00});
  ASSERT_EQ(write(pty.master, query.data(), query.size()), static_cast<ssize_t>(query.size()));
  const std::vector<uint8_t> reply =
      SimFraming::Frame({0x00, 0x00, 0x16, 0x00, 0x00, 0x12, 0x4B, 0x00, 0x0A, 0x0B, 0x0C, 0x42});
  EXPECT_TRUE(Contains(ReadUntil(pty.master, [&](const auto& got) { return Contains(got, reply); }), reply));
  EXPECT_TRUE(sim.WaitFor([](const auto& received) { return !received.empty(); }, 1000));
  sim.Stop();
}

TEST(ToolsReceiverSimTty, ATtyThatCannotBeOpenedFailsTheStart) {
  SimulatorConfig config;
  config.ttyPath = "/nonexistent/ttyGS9";
  CReceiverSimulator sim(config);
  EXPECT_FALSE(sim.Start());
}

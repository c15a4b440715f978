// The service binary with a simulated receiver listed in "Ports" and the simulated software
// service: the receiver is opened, started up on the wire, and closed cleanly on Ctrl-C.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

// A packet to `address` with command `command`.
bool Has(const Packets& packets, uint16_t address, uint8_t command) {
  for (const auto& p : packets)
    if (p.size() >= 3 && ((p[0] << 8) | p[1]) == address && p[2] == command) return true;
  return false;
}

TEST(ReceiverEndToEnd, TheServiceOpensAListedReceiverStartsItUpAndClosesItOnCtrlC) {
  TempDir dir;
  CReceiverSimulator receiver;
  ASSERT_TRUE(receiver.Start());
  ServiceSim::ServiceSimulator service{ServiceSim::Scenario{}};
  ASSERT_TRUE(service.Start(0));
  const std::string logPath = dir.File("service.log");
  ChildProcess process({OVANTA_HARDWARE_EXE, "-d"},
                       ServiceEnvironment(dir, logPath, 17, receiver.SlavePath(), service.Uri()));
  ASSERT_TRUE(process.WaitForLine("Enumerated device path: " + receiver.SlavePath())) << process.Seen();
  ASSERT_TRUE(process.WaitForLine("Receiver_Connect: Connect to receiver return 0")) << process.Seen();

  // Start-up on the wire: the clickers powered off (session end, mode 2), the network stopped,
  // then a background scan of every channel.
  EXPECT_TRUE(receiver.WaitFor(
      [](const Packets& p) { return Has(p, 0x0000, 0x0E) && Has(p, 0x0000, 0x04) && Has(p, 0x0000, 0x17); }, 30000));
  // The manager's own hello reached the software service and was answered with an endpoint.
  EXPECT_TRUE(service.Manager().WaitFor([&] { return service.Manager().Count("modeSwitching") >= 1; }, 30));

  process.Signal(SIGINT);
  ASSERT_TRUE(process.WaitForLine("Receiver service stopped.")) << process.Seen();
  EXPECT_EQ(process.Wait(), 0);
  EXPECT_EQ(receiver.BadFrames(), 0);
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("CServiceEventHandler::Stop"), std::string::npos);
  EXPECT_NE(log.find("CReceiverManager::Run complete"), std::string::npos);
}

}  // namespace

// A software service that is not there yet: the service says so once, at the milestone level,
// however often its client retries, and says once more when the service is there.
TEST(ServiceReachability, RefusedIsSaidOnceAndConnectedOnceWhenTheServiceComes) {
  TempDir dir;
  uint16_t port = 0;
  {
    ServiceSim::ServiceSimulator probe{ServiceSim::Scenario{}};
    ASSERT_TRUE(probe.Start(0));
    port = probe.Port();
  }  // closed again: nothing listens on the port now
  const std::string uri = "http://127.0.0.1:" + std::to_string(port);
  ChildProcess process({OVANTA_HARDWARE_EXE, "-d"}, ServiceEnvironment(dir, dir.File("service.log"), 1, "", uri));
  ASSERT_TRUE(process.WaitForLine("Software service not reachable at " + uri + ": ")) << process.Seen();
  // The client retries meanwhile (at least once a second at first); none of it is logged.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ServiceSim::ServiceSimulator service{ServiceSim::Scenario{}};
  ASSERT_TRUE(service.Start(port));
  ASSERT_TRUE(process.WaitForLine("Software service at " + uri + " connected")) << process.Seen();
  process.Signal(SIGTERM);
  ASSERT_TRUE(process.WaitForLine("Receiver service stopped.")) << process.Seen();
  const std::string& seen = process.Seen();
  size_t refused = 0;
  for (size_t at = seen.find("not reachable at"); at != std::string::npos; at = seen.find("not reachable at", at + 1))
    ++refused;
  EXPECT_EQ(refused, 1u) << seen;
}

// The service binary and a software service that is not there when it starts. (Its start-up on
// the wire and its clean stop on Ctrl-C are in every replay transcript, tests/replay.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tools/service-sim/ServiceSimulator.h"

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

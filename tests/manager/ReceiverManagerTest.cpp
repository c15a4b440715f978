#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>

#include "client/http/Globals.h"
#include "devices/ReceiverEnumerator.h"
#include "devices/ReceiverManager.h"
#include "platform/Registry.h"
#include "platform/SocketExceptions.h"
#include "tests/devices/FakeSysfs.h"
#include "tests/manager/FakeReceivers.h"
#include "tests/sdk/SdkServerFakes.h"
#include "tests/service/TestFiles.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

// A USB device arriving, as the udev monitor describes it: "name" is where FakeSysfs puts it.
DeviceEvent Device(const std::string& name, uint16_t vendorId, uint16_t productId, const std::string& serial) {
  return {DeviceAction::kArrival,
          DeviceType::kInterface,
          "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + name,
          vendorId,
          productId,
          serial,
          "/dev/bus/usb/001/004"};
}
DeviceEvent ReceiverDevice(const std::string& name, const std::string& serial) {
  return Device(name, 0x16D3, 0x3000, serial);
}
DeviceEvent Removed(DeviceEvent device) {
  device.action = DeviceAction::kRemoval;
  return device;
}

// The manager's Run on a thread of its own; stopped and joined when the guard goes, also
// when an assertion ends the test early.
struct RunningManager {
  CReceiverManager& manager;
  std::thread thread{[this] { manager.Run(); }};
  ~RunningManager() { StopAndJoin(); }
  void StopAndJoin() {
    if (!thread.joinable()) return;
    manager.Stop();
    thread.join();
  }
};

class ReceiverManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CReceiverEnumerator::SetSysfsRoot(sysfs.Root().string());
    logger = std::make_unique<CLogger>(nullptr);
    logger->Open(dir.File("service.log"));
    logger->SetMask(kLogMilestone | kLogDiagnostic);
    g_pLogger = logger.get();
    env.makeReceiver = [this](IReceiverEvents*) -> ManagedReceiverPtr {
      return std::make_shared<FakeReceiver>(links, ++numbers);
    };
    env.makeClient = [] { return std::make_shared<Voxlet::Client>(false); };
    env.watchOsEvents = false;
  }
  void TearDown() override {
    manager.reset();
    g_pLogger = nullptr;
    logger.reset();
    CReceiverEnumerator::SetSysfsRoot("");
  }
  CReceiverManager& Manager() {
    if (!manager) manager = std::make_unique<CReceiverManager>(&settings, env);
    return *manager;
  }
  // A plugged-in receiver with (or, with an empty tty, without) its port.
  std::filesystem::path PlugIn(const std::string& name, const std::string& serial, const std::string& tty) {
    auto device = sysfs.AddDevice(name, "16d3", "3000", serial, "0100");
    auto interface = sysfs.AddInterface(device, "1.0");
    if (!tty.empty()) FakeSysfs::AddClassTty(interface, tty);
    return interface;
  }
  std::string Log() {
    logger->Close();
    const std::string text = ReadFile(dir.File("service.log"));
    logger->Open(dir.File("service.log"));
    return text;
  }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }
  // One tick of the client and the receiver work it asked for.
  void Tick(Voxlet::Client& client) {
    Manager().OnClientTick(client);
    Manager().WaitForReceiverWork();
  }

  TempDir dir;
  ScopedRegistry registry{dir.File("registry.ini")};
  FakeSysfs sysfs;
  Voxlet::Globals library;
  std::unique_ptr<CLogger> logger;
  CReceiverServiceSettings settings;
  FakeLinks links;
  std::atomic<uint32_t> numbers{0};
  ManagerEnvironment env;
  std::unique_ptr<CReceiverManager> manager;
};

// Another vendor's device, or another product, is not a receiver: nothing is queued. A receiver
// without its port yet is queued and retried until the port comes, or given up after thirty
// retries.
TEST_F(ReceiverManagerTest, ArrivalsWithoutAPortAreRetriedUntilItComesOrGivenUp) {
  EXPECT_FALSE(Manager().DeviceArrival(Device("1-1", 0x0403, 0x6001, "FT1"), ArrivalRetry::kRetryLater));
  EXPECT_FALSE(Manager().DeviceArrival(Device("1-1", 0x16D3, 0x3001, "X"), ArrivalRetry::kRetryLater));
  EXPECT_EQ(Manager().PendingCount(), 0u);
  EXPECT_TRUE(
      Logged("Arrived device path, vid or pid not recognized: 0403:6001 serial FT1 at "
             "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1 (/dev/bus/usb/001/004)"));

  auto interface = PlugIn("1-1", "LATE1", "");
  const DeviceEvent late = ReceiverDevice("1-1", "LATE1");
  EXPECT_FALSE(Manager().DeviceArrival(late, ArrivalRetry::kRetryLater));
  EXPECT_TRUE(Logged("Arrived device path, could not find port: " + DescribeDevice(late)));
  EXPECT_TRUE(Logged("Will check port " + DescribeDevice(late) + " again later"));
  PlugIn("1-2", "NEVER", "");
  const DeviceEvent never = ReceiverDevice("1-2", "NEVER");
  Manager().DeviceArrival(never, ArrivalRetry::kRetryLater);
  EXPECT_EQ(Manager().PendingCount(), 2u);
  Manager().RetryPendingDevices();  // still no port
  EXPECT_EQ(Manager().PendingCount(), 2u);
  FakeSysfs::AddClassTty(interface, "ttyACM4");
  Manager().RetryPendingDevices();
  EXPECT_EQ(Manager().PendingCount(), 1u);
  EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM4"});
  EXPECT_TRUE(Logged("Arrived device port: /dev/ttyACM4"));
  for (uint32_t i = 2; i < CReceiverManager::kRetryLimit; ++i) Manager().RetryPendingDevices();
  EXPECT_EQ(Manager().PendingCount(), 1u);
  EXPECT_FALSE(Logged("Giving up"));
  Manager().RetryPendingDevices();
  EXPECT_EQ(Manager().PendingCount(), 0u);
  EXPECT_TRUE(Logged("Giving up trying to connect to " + DescribeDevice(never) + " \r\n"));
}

// A port that fails to open is retried too; two arrivals for an open port open it once.
TEST_F(ReceiverManagerTest, APortThatFailsToOpenIsRetriedAndAnOpenOneIsOpenedOnce) {
  PlugIn("1-1", "BUSY", "ttyACM1");
  links.openResult[u"/dev/ttyACM1"] = 3;
  EXPECT_FALSE(Manager().DeviceArrival(ReceiverDevice("1-1", "BUSY"), ArrivalRetry::kRetryLater));
  EXPECT_TRUE(Logged("Receiver_Connect: Connect to receiver return none-zeron. Meaning it is failed with code 3 \n"));
  EXPECT_EQ(Manager().PendingCount(), 1u);
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  links.openResult.clear();
  Manager().RetryPendingDevices();
  EXPECT_EQ(Manager().ReceiverPorts().size(), 1u);
  EXPECT_TRUE(Manager().DeviceArrival(ReceiverDevice("1-1", "BUSY"), ArrivalRetry::kRetryLater));
  EXPECT_EQ(links.Opens(u"/dev/ttyACM1"), 1u);
  EXPECT_EQ(Manager().ReceiverPorts().size(), 1u);
  EXPECT_TRUE(Logged("Receiver_Connect: Find receiver by port returning 0. Meaning it is already connected \n"));
}

// The udev monitor's typed events, straight to the manager (opening and closing through udev are
// UdevMonitorTest's): devices are told apart by their sysfs path, not by their serial number,
// which two receivers may both lack or share. A removal closes only the receiver of its own
// device, another stays open, and an arrival opens its own receiver beside the other's.
TEST_F(ReceiverManagerTest, TypedDeviceEventsOpenAndCloseTheReceiverOfTheirOwnDevice) {
  for (const std::string serial : {"", "SAME"}) {
    SCOPED_TRACE(serial);
    auto first = PlugIn("1-1", serial, "ttyACM0");
    auto second = PlugIn("1-2", serial, "ttyACM1");
    const DeviceEvent a = ReceiverDevice("1-1", serial), b = ReceiverDevice("1-2", serial);
    Manager().OnDeviceEvent(a);
    Manager().OnDeviceEvent(b);
    ASSERT_EQ(Manager().ReceiverPorts(), (std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0", u"/dev/ttyACM1"}));

    // Unplugged: the tty is gone from sysfs by the time the removal is handled, so the port is
    // the one the open receiver remembers for its device.
    std::filesystem::remove_all(second / "tty");
    Manager().OnDeviceEvent(Removed(b));
    EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
    Manager().OnDeviceEvent(Removed(ReceiverDevice("1-3", serial)));  // a device never opened
    EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
    // The enumeration remembers the device of what it opens as well.
    FakeSysfs::AddClassTty(second, "ttyACM1");
    Manager().EnumerateReceivers();
    std::filesystem::remove_all(first / "tty");
    Manager().OnDeviceEvent(Removed(a));
    EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM1"});
    Manager().CloseAllReceivers();
    std::filesystem::remove_all(sysfs.Root() / "bus/usb/devices");
    std::filesystem::create_directories(sysfs.Root() / "bus/usb/devices");
    std::filesystem::remove_all(sysfs.Root() / "devices");
  }
  EXPECT_TRUE(
      Logged("SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEARRIVAL - DBT_DEVTYP_DEVICEINTERFACE - Device Name:-->16d3:3000 "
             "serial SAME at /sys/devices/pci0000:00/0000:00:14.0/usb1/1-1 (/dev/bus/usb/001/004)<--"));
  EXPECT_TRUE(
      Logged("SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_DEVICEINTERFACE - Device Name:-->" +
             DescribeDevice(Removed(ReceiverDevice("1-2", ""))) + "<--"));
}

// The device events that do not arrive or remove a device interface are logged and change
// nothing: a port's or a handle's, a query that failed, a pending removal, a custom event and
// codes without a name; a query to remove the device closes its receiver as its removal would.
// Power codes without a name are logged with their number.
TEST_F(ReceiverManagerTest, TheOtherDeviceAndPowerEventsAreLoggedAndChangeNothing) {
  PlugIn("1-1", "R1", "ttyACM0");
  Manager().OnDeviceEvent(ReceiverDevice("1-1", "R1"));
  const auto event = [](uint32_t code, DeviceType type) {
    DeviceEvent e = ReceiverDevice("1-1", "R1");
    e.action = static_cast<DeviceAction>(code);
    e.type = type;
    return e;
  };
  DeviceEvent port = event(0x8000, DeviceType::kPort);
  port.sysPath = "COM5\n";
  Manager().OnDeviceEvent(port);
  for (uint32_t code : {0x8001u, 0x8004u}) {
    Manager().OnDeviceEvent(event(code, DeviceType::kPort));
    Manager().OnDeviceEvent(event(code, DeviceType::kHandle));
  }
  Manager().OnDeviceEvent(event(0x8000, DeviceType::kHandle));
  for (uint32_t code : {0x8002u, 0x8003u, 0x8006u, 0x8007u})
    Manager().OnDeviceEvent(event(code, DeviceType::kInterface));
  Manager().OnPowerEvent(static_cast<PowerEvent>(10));
  EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
  const std::string log = Log();
  for (const char* line : {
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEARRIVAL - DBT_DEVTYP_PORT - Device Name:-->COM5\\n<--\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVE - DBT_DEVTYP_PORT\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVE - DBT_DEVTYP_HANDLE\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_PORT\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_HANDLE\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVEFAILED\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVEPENDING\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT_CUSTOMEVENT\r\n",
           "SERVICE_CONTROL_DEVICEEVENT - DBT unknown 32775\r\n",
           "SERVICE_CONTROL_POWEREVENT - POWEREVENT : 10\r\n",
       })
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  EXPECT_EQ(log.find("DBT_DEVICEARRIVAL - DBT_DEVTYP_HANDLE"), std::string::npos);

  Manager().OnDeviceEvent(event(0x8001, DeviceType::kInterface));
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
}

// What a device says of itself (its serial number) and what sysfs says of it reach the log and
// the e-mailed log: none of it may write lines of its own there.
TEST_F(ReceiverManagerTest, ADevicesOwnTextsCannotWriteLinesOfTheirOwnIntoTheLog) {
  const std::string forged = "ERROR forged line";
  DeviceEvent crafted = ReceiverDevice("1-1", "R1\\\r\n" + forged + "\n");
  crafted.devNode = "/dev/bus/usb/001/004\n" + forged;
  Manager().OnDeviceEvent(crafted);
  const std::string log = Log();
  EXPECT_NE(log.find("serial R1\\\\\\r\\n" + forged + "\\n at "), std::string::npos) << log;
  EXPECT_NE(log.find("(/dev/bus/usb/001/004\\n" + forged + ")"), std::string::npos) << log;
  size_t lines = 0;
  for (size_t at = log.find(forged); at != std::string::npos; at = log.find(forged, at + 1), ++lines)
    EXPECT_NE(log[at - 1], '\n') << log;
  EXPECT_GT(lines, 0u);
}

// A receiver plugged in: its USB device's event comes before its port, which leaves the device
// pending, and its tty's event then opens it. It is no longer pending: a reset that leaves it
// closed ("ReconnectOnSoftReset" 0) is not undone by the next retry. Nor is one of a pending
// device that an enumeration opened.
TEST_F(ReceiverManagerTest, AnOpenedReceiverIsNoLongerPendingAndAResetLeavesItClosed) {
  const auto first = PlugIn("1-1", "", "");
  EXPECT_FALSE(Manager().DeviceArrival(ReceiverDevice("1-1", ""), ArrivalRetry::kRetryLater));
  EXPECT_FALSE(Manager().DeviceArrival(ReceiverDevice("1-1", ""), ArrivalRetry::kRetryLater));  // said twice
  EXPECT_EQ(Manager().PendingCount(), 1u);
  FakeSysfs::AddClassTty(first, "ttyACM0");
  EXPECT_TRUE(Manager().DeviceArrival(ReceiverDevice("1-1", ""), ArrivalRetry::kRetryLater));  // its tty's event
  EXPECT_EQ(Manager().PendingCount(), 0u);

  const auto second = PlugIn("1-2", "", "");
  Manager().DeviceArrival(ReceiverDevice("1-2", ""), ArrivalRetry::kRetryLater);
  FakeSysfs::AddClassTty(second, "ttyACM1");
  Manager().EnumerateReceivers();
  EXPECT_EQ(Manager().PendingCount(), 0u);
  ASSERT_EQ(Manager().ReceiverPorts(), (std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0", u"/dev/ttyACM1"}));

  Voxlet::Client unconnected(false);
  Manager().QueueReceiverReset(u"/dev/ttyACM0");
  Manager().QueueReceiverReset(u"/dev/ttyACM1");
  Tick(unconnected);  // closes both
  Tick(unconnected);  // and leaves them closed
  EXPECT_TRUE(Manager().ResetQueue().empty());
  for (int retry = 0; retry < 3; ++retry) Manager().RetryPendingDevices();
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 1u);
  EXPECT_EQ(links.Opens(u"/dev/ttyACM1"), 1u);
}

// A receiver that a reset closed and reopened ("ReconnectOnSoftReset" 1) is on the same device:
// unplugging it closes it, though sysfs no longer says which port was its own.
TEST_F(ReceiverManagerTest, AReceiverAResetReopenedIsClosedWhenItsDeviceIsUnplugged) {
  ASSERT_TRUE(WriteRegistryDword(0, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "ReconnectOnSoftReset", 1,
                                 "com.vantrel.Preferences"));
  const auto interface = PlugIn("1-1", "", "ttyACM0");
  ASSERT_TRUE(Manager().DeviceArrival(ReceiverDevice("1-1", ""), ArrivalRetry::kRetryLater));
  Voxlet::Client unconnected(false);
  Manager().QueueReceiverReset(u"/dev/ttyACM0");
  Tick(unconnected);  // closes it
  Tick(unconnected);  // and opens it again
  ASSERT_EQ(links.Opens(u"/dev/ttyACM0"), 2u);
  std::filesystem::remove_all(interface / "tty");
  Manager().OnDeviceEvent(Removed(ReceiverDevice("1-1", "")));
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
}

// What the sleep monitor reports: a suspend closes every receiver, the resume opens them again.
TEST_F(ReceiverManagerTest, SuspendClosesEveryReceiverAndResumeOpensThemAgain) {
  PlugIn("1-1", "A", "ttyACM0");
  PlugIn("1-2", "B", "ttyACM1");
  Manager().EnumerateReceivers();
  ASSERT_EQ(Manager().ReceiverPorts().size(), 2u);
  Manager().OnPowerEvent(PowerEvent::kSuspend);
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  EXPECT_EQ(links.closed.size(), 2u);
  Manager().OnPowerEvent(PowerEvent::kResumeSuspend);
  EXPECT_EQ(Manager().ReceiverPorts().size(), 2u);
  EXPECT_TRUE(Logged("SERVICE_CONTROL_POWEREVENT - PBT_APMRESUMESUSPEND"));
}

// A USB receiver is reset as the machine resumes: the receiver the suspend was closing loses its
// link and asks for a reset, which must not close the receiver the resume opened on its port.
TEST_F(ReceiverManagerTest, AResetAskedForByAReceiverClosedForTheSuspendLeavesTheResumedOneOpen) {
  PlugIn("1-1", "A", "ttyACM0");
  Manager().EnumerateReceivers();
  Manager().OnPowerEvent(PowerEvent::kSuspend);
  Manager().QueueReceiverReset(u"/dev/ttyACM0");  // its link lost on the way out
  Manager().OnPowerEvent(PowerEvent::kResumeSuspend);
  Voxlet::Client unconnected(false);
  Tick(unconnected);
  Tick(unconnected);
  EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM0"});
  EXPECT_TRUE(Manager().ResetQueue().empty());
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 2u);
  EXPECT_EQ(links.closed.size(), 1u);
}

// Without a connection neither hellos nor retries happen, but resets do. The client's ticks
// come on the library threads that serve every connection to the software service: a receiver
// being opened for them must not hold the tick up.
TEST_F(ReceiverManagerTest, WithoutAConnectionOnlyResetsHappenAndATickDoesNotWaitForTheReceiverItOpens) {
  PlugIn("1-1", "P", "");
  PlugIn("1-2", "R", "ttyACM1");
  Manager().DeviceArrival(ReceiverDevice("1-1", "P"), ArrivalRetry::kRetryLater);
  Manager().EnumerateReceivers();
  Voxlet::Client unconnected(false);
  Manager().QueueReceiverReset(u"/dev/ttyACM1");
  for (int i = 0; i < 100; ++i) Tick(unconnected);
  EXPECT_EQ(Manager().PendingCount(), 1u);  // never retried, so never given up
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  EXPECT_TRUE(Manager().ResetQueue().empty());

  ASSERT_TRUE(WriteRegistryDword(0, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "ReconnectOnSoftReset", 1,
                                 "com.vantrel.Preferences"));
  links.holdOpens = true;
  Manager().QueueReceiverReset(u"/dev/ttyACM5");  // not open: the reset reopens it
  auto ticks = std::async(std::launch::async, [&] {
    Manager().OnClientTick(unconnected);
    Manager().OnClientTick(unconnected);  // a second tick while the open is still under way
  });
  ASSERT_TRUE(links.WaitForOpening());
  const bool ticksReturned = ticks.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  links.Release();
  ticks.wait();
  EXPECT_TRUE(ticksReturned);
  Manager().WaitForReceiverWork();
  EXPECT_EQ(Manager().ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM5"});
  EXPECT_EQ(links.Opens(u"/dev/ttyACM5"), 1u);
  EXPECT_TRUE(Manager().ResetQueue().empty());
}

// The manager's own connection, against the simulated software service.
class ReceiverManagerServiceTest : public ReceiverManagerTest {
 protected:
  void SetUp() override {
    ReceiverManagerTest::SetUp();
    ASSERT_TRUE(sim.Start(0));
    ASSERT_TRUE(
        WriteRegistryString(0, "SOFTWARE\\Vantrel\\Voxlet\\SoftwareService", "Uri", sim.Uri(), kRegistryStoreName));
  }
  void TearDown() override {
    ReceiverManagerTest::TearDown();
    sim.Stop();
  }
  // Connects a client of the manager's own and waits for the hello exchange to finish.
  Voxlet::ClientPtr Connect() {
    auto client = std::make_shared<Voxlet::Client>(false);  // ticks come from the test only
    Manager().AttachClient(client);
    client->Connect(Voxlet::UTF8to16(sim.Uri()));
    return client;
  }
  size_t Count(const std::string& route) { return sim.Manager().Count(route); }
  bool WaitFor(const std::function<bool()>& done) { return sim.Manager().WaitFor(done, 20); }

  ServiceSim::ServiceSimulator sim{ServiceSim::Scenario{}};
};

// Hellos go every fifteen ticks, and the answer to one after a mode-switching notification
// enumerates the receivers; pending arrivals are retried every third tick while connected.
TEST_F(ReceiverManagerServiceTest, HellosGoEveryFifteenTicksAndRetriesEveryThirdWhileConnected) {
  auto client = Connect();
  ASSERT_TRUE(WaitFor([&] { return Count("modeSwitching") == 1; }));
  // The first hello describes the service (its route and order are in every replay transcript).
  EXPECT_NE(sim.Manager().Requests().front().body.find("<dc:title>Ovanta Hardware</dc:title>"), std::string::npos);
  PlugIn("1-1", "LATE", "");
  Manager().DeviceArrival(ReceiverDevice("1-1", "LATE"), ArrivalRetry::kRetryLater);
  PlugIn("1-2", "NEW", "ttyACM2");  // plugged in without an event reaching the manager
  sim.Manager().ModeSwitching();
  for (int i = 0; i < CReceiverManager::kHelloTicks - 1; ++i) Tick(*client);
  EXPECT_EQ(Count("hello"), 1u);
  Tick(*client);
  ASSERT_TRUE(WaitFor([&] { return Count("hello") == 2; }));
  // The reply is handled on a library thread after the request was counted.
  ASSERT_TRUE(links.WaitForOpen(u"/dev/ttyACM2"));
  EXPECT_EQ(links.Opens(u"/dev/ttyACM2"), 1u);
  // Countdown values 13, 10, 7, 4, 1, 13 retried: six attempts in fifteen ticks.
  for (int i = 0; i < 90; ++i) Tick(*client);
  EXPECT_EQ(Manager().PendingCount(), 0u);
  EXPECT_TRUE(Logged("Giving up trying to connect to"));
}

// The software service is told of a reset receiver and whether it comes back. (Closing, the queue
// and reopening are ReceiverSetTest's and the unconnected test's; the endpoint is in the unplug
// transcript.)
TEST_F(ReceiverManagerServiceTest, AResetIsReportedWithWhetherTheSettingReopensTheReceiver) {
  auto client = Connect();
  ASSERT_TRUE(WaitFor([&] { return Count("modeSwitching") == 1; }));
  PlugIn("1-1", "R", "ttyACM1");
  for (const uint32_t reconnect : {0u, 1u}) {
    ASSERT_TRUE(WriteRegistryDword(0, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "ReconnectOnSoftReset", reconnect,
                                   "com.vantrel.Preferences"));
    Manager().EnumerateReceivers();
    ASSERT_EQ(Manager().ReceiverPorts().size(), 1u);
    Manager().QueueReceiverReset(u"/dev/ttyACM1");
    Tick(*client);
    ASSERT_TRUE(WaitFor([&] { return Count("receiverRemoved") == 1 + reconnect; }));
    const auto removed = sim.Manager().Requests().back();
    EXPECT_EQ(removed.query.at("reconnect"), reconnect ? "true" : "false");
    EXPECT_EQ(removed.query.at("failure"), "true");
    Tick(*client);
    EXPECT_EQ(Manager().ReceiverPorts().size(), reconnect);
  }
}

// Once a tick the manager says how the service is doing: the receivers open (a listed one whose
// link reports another state is not), the clickers signed in on them, whether the software
// service answered, and what the spool adds.
TEST_F(ReceiverManagerServiceTest, EachTickReportsReceiversClickersConnectionAndSpool) {
  class ClassReceiver : public FakeReceiver {
   public:
    ClassReceiver(FakeLinks& links, uint32_t number) : FakeReceiver(links, number) {}
    uint32_t State() const override { return PortName() == u"/dev/ttyACM3" ? 2 : 0; }
    size_t SignedInClickers() const override { return PortName() == u"/dev/ttyACM1" ? 3 : 6; }
  };
  env.makeReceiver = [this](IReceiverEvents*) -> ManagedReceiverPtr {
    return std::make_shared<ClassReceiver>(links, ++numbers);
  };
  std::mutex lock;
  std::vector<ServiceStatus> reported;
  env.reportStatus = [&](const ServiceStatus& status) {
    std::lock_guard<std::mutex> guard(lock);
    reported.push_back(status);
  };
  env.reportSpool = [](ServiceStatus& status) {
    status.spool = ServiceStatus::Spool::kKeeping, status.answersKept = 4;
  };
  const auto last = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return reported.empty() ? ServiceStatus{} : reported.back();
  };
  Voxlet::Client unconnected(false);
  Tick(unconnected);
  EXPECT_EQ(last(), (ServiceStatus{0, 0, false, ServiceStatus::Spool::kKeeping, 4}));
  PlugIn("1-1", "A", "ttyACM1");
  PlugIn("1-2", "B", "ttyACM2");
  PlugIn("1-3", "C", "ttyACM3");
  Manager().EnumerateReceivers();
  ASSERT_EQ(Manager().ReceiverPorts().size(), 3u);
  auto client = Connect();
  ASSERT_TRUE(WaitFor([&] { return Count("modeSwitching") == 1; }));
  Tick(*client);
  // Receivers 1 and 2 open (3 + 6 clickers); the third's link says its device is not present.
  const ServiceStatus status = last();
  EXPECT_EQ(status.receiversOpen, 2u);
  EXPECT_EQ(status.clickersSignedIn, 9u);
  EXPECT_TRUE(status.softwareServiceConnected);
  EXPECT_EQ(status.answersKept, 4u);
}

// The service's own SDK server: started by Run, it lists the receivers, carries command texts
// to them and resets the log, and is gone when Run ends. Meanwhile receivers on their links open
// and close while SDK clients come and go (each is sent the status of every receiver as it
// connects) and send command texts: a receiver is listed only once it is open, so no thread reads
// a port name, link or handler an open is writing. Under TSan this test is quiet.
TEST_F(ReceiverManagerTest, RunServesTheSdkClientsWhileReceiversOpenAndClose) {
  std::promise<int> started;
  env.makeReceiver = MakeReceiver;
  env.makeSdkServer = [&started](ISDKServerEvents* events) {
    std::shared_ptr<ISDKServer> server = StartSdkServer(events);
    started.set_value(server ? server->Port() : 0);
    return server;
  };
  std::vector<std::unique_ptr<CReceiverSimulator>> sims(3);
  for (auto& sim : sims) ASSERT_TRUE((sim = std::make_unique<CReceiverSimulator>())->Start());
  RunningManager run{Manager()};
  auto startedPort = started.get_future();
  ASSERT_EQ(startedPort.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const auto port = static_cast<uint16_t>(startedPort.get());
  ASSERT_NE(port, 0);

  // A receiver open (and so listed) before the first SDK client comes is named in its first list.
  const Voxlet::StringBuffer first = Voxlet::UTF8to16(sims[0]->SlavePath());
  ASSERT_EQ(Manager().ReceiverConnect(first), 0u);
  {
    SdkListener client;
    CSdkClient& sdk = client.sdk;
    ASSERT_TRUE(sdk.Connect(port));
    ASSERT_TRUE(client.WaitStatuses(1));
    client.Locked([&] {
      ASSERT_EQ(client.statuses[0].size(), 1u);
      EXPECT_EQ(std::u16string(client.statuses[0][0].receiverName), first);
      EXPECT_EQ(client.statuses[0][0].receiverNumber, 1);
    });
    Manager().OnReceiverStatusChanged(1, 2);
    ASSERT_TRUE(client.WaitStatuses(2));
    ASSERT_TRUE(sdk.SendCommand(1, u"00,01,02"));
    ASSERT_TRUE(sdk.Ping());  // the command was handled before the ping's answer
    EXPECT_TRUE(Logged("CReceiverManager::OnSendCommand(receiver = 1)."));
    // Run names the port once it has enumerated the receivers; the log reset below empties the log.
    const std::string portLine = "SDK port number: " + std::to_string(port);
    EXPECT_TRUE(WaitUntil([&] { return Logged(portLine); }, 20000));
    ASSERT_TRUE(sdk.ResetLog());
    EXPECT_TRUE(client.WaitFor([&] { return client.logChanges > 0; }));
    EXPECT_EQ(sdk.GetLogFlags(), std::optional<int32_t>(settings.GetLogFlags()));
  }
  Manager().RemoveReceiver(first);

  std::atomic<bool> done{false};
  {
    std::vector<std::jthread> clients;
    for (int c = 0; c < 2; ++c)
      clients.emplace_back([&, c] {
        while (!done.load()) {
          CSdkClient sdk;
          try {
            if (!sdk.Connect(port)) continue;
          } catch (const CSocketException&) {
            continue;
          }
          for (int32_t number = 1; number <= 3; ++number) sdk.SendCommand(number, c ? u"00,00,01" : u"00,00,03");
          sdk.Ping();
        }
      });
    for (int round = 0; round < 4; ++round) {
      for (const auto& sim : sims) EXPECT_EQ(Manager().ReceiverConnect(Voxlet::UTF8to16(sim->SlavePath())), 0u);
      for (const auto& sim : sims) Manager().RemoveReceiver(Voxlet::UTF8to16(sim->SlavePath()));
    }
    done = true;
  }
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  run.StopAndJoin();
  // The server stopped with Run: nothing listens on its port any more, and nothing opens.
  CSdkClient late;
  EXPECT_THROW(late.Connect(port), CSocketException);
  EXPECT_NE(Manager().ReceiverConnect(first), 0u);
}

}  // namespace

// A second service started with the same settings (the answer spool is another process's) does
// not start: it opens no receiver, which would take answers from the radio it cannot keep.
TEST_F(ReceiverManagerTest, ASecondServiceWithTheSameSettingsDoesNotStart) {
  PlugIn("1-1", "R1", "ttyACM0");
  env.makeSdkServer = nullptr;
  env.claimState = [] { return std::string("the answer spool in /var/lib/ovanta/spool is another process's"); };
  Manager().Run();  // returns at once, no Stop needed
  EXPECT_TRUE(Manager().ReceiverPorts().empty());
  EXPECT_EQ(links.Opens(u"/dev/ttyACM0"), 0u);
  EXPECT_TRUE(
      Logged("Another hardware service runs with these settings (the answer spool in /var/lib/ovanta/spool is another "
             "process's): this one does not start."));
}

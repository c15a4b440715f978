// The udev monitor against a umockdev test bed: sysfs and the uevent netlink socket are the
// test bed's, so add and remove uevents of made-up devices reach the monitor as they would from
// the kernel. Runs with libumockdev-preload (set by the test's CTest environment).
#include <gtest/gtest.h>
#include <umockdev.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devices/Linux/OsEvents.h"
#include "devices/ReceiverEnumerator.h"
#include "devices/ReceiverManager.h"
#include "log/ReceiverServiceSettings.h"
#include "tests/manager/FakeReceivers.h"

namespace {

class UdevMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && strstr(preload, "libumockdev-preload")) << "run with LD_PRELOAD=libumockdev-preload.so.0";
    m_bed = umockdev_testbed_new();
    // The test bed uses libudev on this thread, and libudev sets up its process-wide state on
    // first use: let that happen here, before any monitor thread starts.
    gchar* warmUp = umockdev_testbed_add_device(m_bed, "platform", "warm-up", nullptr, nullptr, nullptr);
    umockdev_testbed_uevent(m_bed, warmUp, "add");
    g_free(warmUp);
  }
  void TearDown() override {
    if (m_bed) g_object_unref(m_bed);
  }
  // A USB device as the kernel describes it: ids as attributes (a null serial: none), PRODUCT
  // and DEVTYPE as properties. Adding a device to the test bed sends its add uevent.
  std::string AddUsbDevice(const char* name, const char* vendor, const char* product, const char* serial) {
    const std::string productProperty = std::string(vendor) + "/" + product + "/100";
    if (!serial)
      return Taken(umockdev_testbed_add_device(m_bed, "usb", name, nullptr, "idVendor", vendor, "idProduct", product,
                                               nullptr, "DEVTYPE", "usb_device", "PRODUCT", productProperty.c_str(),
                                               nullptr));
    return Taken(umockdev_testbed_add_device(m_bed, "usb", name, nullptr, "idVendor", vendor, "idProduct", product,
                                             "serial", serial, nullptr, "DEVTYPE", "usb_device", "PRODUCT",
                                             productProperty.c_str(), nullptr));
  }
  std::string AddInterface(const char* name, const std::string& parent) {
    return Taken(
        umockdev_testbed_add_device(m_bed, "usb", name, parent.c_str(), nullptr, "DEVTYPE", "usb_interface", nullptr));
  }
  std::string AddTty(const char* name, const std::string& parent) {
    return Taken(umockdev_testbed_add_device(m_bed, "tty", name, parent.c_str(), nullptr, nullptr));
  }
  static std::string Taken(gchar* path) {
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  UMockdevTestbed* m_bed = nullptr;
};

TEST_F(UdevMonitorTest, InterfacesAndChangesAreNotReported) {
  const std::string usb = AddUsbDevice("2-1", "16d3", "0051", "H7");  // before the monitor runs
  const std::string interface = AddInterface("2-1:1.0", usb);
  std::mutex lock;
  std::condition_variable changed;
  std::vector<DeviceEvent> events;
  CUdevMonitor monitor([&](const DeviceEvent& event) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(event);
    changed.notify_all();
  });
  ASSERT_TRUE(monitor.Running());
  umockdev_testbed_uevent(m_bed, interface.c_str(), "add");
  umockdev_testbed_uevent(m_bed, usb.c_str(), "change");
  // A marker event after them: once it is seen, the ones before have been handled.
  const std::string marker = AddUsbDevice("3-1", "1234", "abcd", "M1");
  std::unique_lock<std::mutex> guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return !events.empty(); }));
  for (const DeviceEvent& e : events) {
    EXPECT_EQ(e.action, DeviceAction::kArrival);
    EXPECT_EQ(e.vendorId, 0x1234);
    EXPECT_EQ(e.productId, 0xABCD);
    EXPECT_EQ(e.serial, "M1");
    EXPECT_EQ(e.sysPath, marker);
  }
}

// What runs on a desktop: udev's events drive the manager, which finds the receiver's port in
// sysfs (the test bed's) and opens it, and closes it again when the receiver is unplugged. No
// retry runs here.
class UdevManagerTest : public UdevMonitorTest {
 protected:
  void SetUp() override {
    UdevMonitorTest::SetUp();
    CReceiverEnumerator::SetSysfsRoot("");  // the real /sys, which is the test bed's here
    ManagerEnvironment environment;
    environment.makeReceiver = [this](IReceiverEvents*) -> ManagedReceiverPtr {
      return std::make_shared<FakeReceiver>(links, ++numbers);
    };
    environment.makeClient = [] { return nullptr; };
    environment.watchOsEvents = false;
    manager = std::make_unique<CReceiverManager>(&settings, environment);
    monitor = std::make_unique<CUdevMonitor>([this](const DeviceEvent& event) { manager->OnDeviceEvent(event); });
    ASSERT_TRUE(monitor->Running());
  }
  void TearDown() override {
    monitor.reset();
    manager.reset();
    UdevMonitorTest::TearDown();
  }
  struct Plugged {
    std::string usb, interface, tty;
  };
  // A receiver's interface and tty, after its USB device.
  Plugged AddPort(const std::string& usb, const char* tty) {
    const std::string name = usb.substr(usb.rfind('/') + 1);
    Plugged plugged{usb, AddInterface((name + ":1.0").c_str(), usb), ""};
    plugged.tty = AddTty(tty, plugged.interface);
    return plugged;
  }
  // Unplugged: the kernel takes the tty and the interface away before the device goes, so
  // sysfs no longer says which port was the receiver's when its remove event is read.
  void Unplug(const Plugged& plugged) {
    umockdev_testbed_remove_device(m_bed, plugged.tty.c_str());
    umockdev_testbed_remove_device(m_bed, plugged.interface.c_str());
    umockdev_testbed_uevent(m_bed, plugged.usb.c_str(), "remove");
  }

  FakeLinks links;
  std::atomic<uint32_t> numbers{0};
  CReceiverServiceSettings settings;
  std::unique_ptr<CReceiverManager> manager;
  std::unique_ptr<CUdevMonitor> monitor;
};

// The port comes after the device: its tty's event reports the device again, and only then can
// the receiver be opened.
TEST_F(UdevManagerTest, PluggedInReceiverIsOpenedOnceItsTtyComesAndClosedWhenUnplugged) {
  const std::string usb = AddUsbDevice("4-1", "16d3", "3000", "R77");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (manager->PendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(manager->PendingCount(), 1u);  // its arrival is handled: no port yet
  const Plugged plugged = AddPort(usb, "ttyACM3");
  ASSERT_TRUE(links.WaitForOpen(u"/dev/ttyACM3"));

  Unplug(plugged);
  EXPECT_TRUE(links.WaitForClose(u"/dev/ttyACM3"));
  monitor.reset();  // the removal it reported has run to its end
  EXPECT_TRUE(manager->ReceiverPorts().empty());
}

// Two receivers without serial numbers: each is opened on its own port as its tty comes, even
// while the other is open, and unplugging one closes that one only.
TEST_F(UdevManagerTest, ReceiversWithoutSerialNumbersAreToldApartByTheirDevice) {
  AddPort(AddUsbDevice("5-1", "16d3", "3000", nullptr), "ttyACM5");
  ASSERT_TRUE(links.WaitForOpen(u"/dev/ttyACM5"));
  const Plugged b = AddPort(AddUsbDevice("5-2", "16d3", "3000", nullptr), "ttyACM6");
  ASSERT_TRUE(links.WaitForOpen(u"/dev/ttyACM6"));

  Unplug(b);
  EXPECT_TRUE(links.WaitForClose(u"/dev/ttyACM6"));
  monitor.reset();  // the removal it reported has run to its end
  EXPECT_EQ(manager->ReceiverPorts(), std::vector<Voxlet::StringBuffer>{u"/dev/ttyACM5"});
  EXPECT_EQ(manager->PendingCount(), 0u);  // each device's first event was answered by its tty's
}

}  // namespace

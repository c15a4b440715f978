// The udev monitor against a umockdev test bed: sysfs and the uevent netlink socket are the
// test bed's, so add and remove uevents of made-up devices reach the monitor as they would from
// the kernel. Runs with libumockdev-preload (set by the test's CTest environment).
#include <gtest/gtest.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/OsEvents.h"
#include "devices/ReceiverEnumerator.h"
#include "devices/ReceiverManager.h"
#include "log/ReceiverServiceSettings.h"
#include "tests/manager/FakeReceivers.h"

namespace {

// What a test looks for in a reported event.
struct Event {
  DeviceAction action;
  uint16_t vendorId;
  uint16_t productId;
  std::string serial;
  bool operator==(const Event&) const = default;
};

// Collects what the monitor reports, from its thread.
class Recorder {
 public:
  void Add(const DeviceEvent& event) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back({event.action, event.vendorId, event.productId, event.serial});
    m_full.push_back(event);
    m_changed.notify_all();
  }
  // Waits until the event has been reported (a uevent may be reported twice; once is enough).
  bool WaitFor(const Event& event) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const Event& e : m_events)
        if (e == event) return true;
      return false;
    });
  }
  // Waits until more than count events have been reported.
  bool WaitForMore(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_events.size() > count; });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
  }
  std::vector<DeviceEvent> FullEvents() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_full;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Event> m_events;
  std::vector<DeviceEvent> m_full;
};

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

  // A USB device as the kernel describes it: ids as attributes, PRODUCT and DEVTYPE as properties.
  std::string AddUsbDevice(const char* name, const char* vendor, const char* product, const char* serial) {
    const std::string productProperty = std::string(vendor) + "/" + product + "/100";
    gchar* path = umockdev_testbed_add_device(m_bed, "usb", name, nullptr,
                                              // attributes
                                              "idVendor", vendor, "idProduct", product, "serial", serial, nullptr,
                                              // properties
                                              "DEVTYPE", "usb_device", "PRODUCT", productProperty.c_str(), nullptr);
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  std::string AddChild(const char* subsystem, const char* name, const std::string& parent, const char* devtype) {
    gchar* path = devtype ? umockdev_testbed_add_device(m_bed, subsystem, name, parent.c_str(), nullptr, "DEVTYPE",
                                                        devtype, nullptr)
                          : umockdev_testbed_add_device(m_bed, subsystem, name, parent.c_str(), nullptr, nullptr);
    std::string result = path ? path : "";
    g_free(path);
    return result;
  }

  UMockdevTestbed* m_bed = nullptr;
  Recorder m_recorder;
};

TEST_F(UdevMonitorTest, UsbArrivalTtyAndRemovalAreReportedAsTypedEvents) {
  CUdevMonitor monitor([this](const DeviceEvent& event) { m_recorder.Add(event); });
  ASSERT_TRUE(monitor.Running());

  const Event arrival{DeviceAction::kArrival, 0x16D3, 0x3000, "R00042"};
  const std::string usb = AddUsbDevice("1-1", "16d3", "3000", "R00042");
  ASSERT_FALSE(usb.empty());
  umockdev_testbed_uevent(m_bed, usb.c_str(), "add");
  EXPECT_TRUE(m_recorder.WaitFor(arrival));
  EXPECT_EQ(m_recorder.FullEvents().front().sysPath, usb);

  // The tty of the receiver comes later, under its interface: the device is reported again,
  // so that a port missing at the first arrival is found now.
  const size_t before = m_recorder.Events().size();
  const std::string interface = AddChild("usb", "1-1:1.0", usb, "usb_interface");
  const std::string tty = AddChild("tty", "ttyACM0", interface, nullptr);
  umockdev_testbed_uevent(m_bed, interface.c_str(), "add");
  umockdev_testbed_uevent(m_bed, tty.c_str(), "add");
  ASSERT_TRUE(m_recorder.WaitForMore(before));
  const std::vector<DeviceEvent> events = m_recorder.FullEvents();
  for (size_t i = before; i < events.size(); ++i) {
    EXPECT_EQ(events[i].action, DeviceAction::kArrival);
    EXPECT_EQ(events[i].serial, "R00042");
    EXPECT_EQ(events[i].sysPath, usb);  // the USB device's, not the tty's
  }

  umockdev_testbed_uevent(m_bed, usb.c_str(), "remove");
  EXPECT_TRUE(m_recorder.WaitFor({DeviceAction::kRemoval, 0x16D3, 0x3000, "R00042"}));
}

TEST_F(UdevMonitorTest, InterfacesAndChangesAreNotReported) {
  // Adding a device to the test bed sends its own add uevent: these are made before the monitor runs.
  const std::string usb = AddUsbDevice("2-1", "16d3", "0051", "H7");
  const std::string interface = AddChild("usb", "2-1:1.0", usb, "usb_interface");
  CUdevMonitor monitor([this](const DeviceEvent& event) { m_recorder.Add(event); });
  ASSERT_TRUE(monitor.Running());
  umockdev_testbed_uevent(m_bed, interface.c_str(), "add");
  umockdev_testbed_uevent(m_bed, usb.c_str(), "change");
  // A marker event after them: once it is seen, the ones before have been handled.
  const Event marker{DeviceAction::kArrival, 0x1234, 0xABCD, "M1"};
  const std::string markerPath = AddUsbDevice("3-1", "1234", "abcd", "M1");
  umockdev_testbed_uevent(m_bed, markerPath.c_str(), "add");
  ASSERT_TRUE(m_recorder.WaitFor(marker));
  for (const Event& e : m_recorder.Events()) EXPECT_EQ(e, marker);
}

// What runs on a desktop: udev's events drive the manager, which finds the receiver's port in
// sysfs (the test bed's) and opens it, and closes it again when the receiver is unplugged.
TEST_F(UdevMonitorTest, PluggedInReceiverIsOpenedAndUnpluggedOneClosed) {
  CReceiverEnumerator::SetSysfsRoot("");  // the real /sys, which is the test bed's here
  FakeLinks links;
  ManagerEnvironment environment;
  environment.makeReceiver = [&links](IReceiverEvents*) -> ManagedReceiverPtr {
    return std::make_shared<FakeReceiver>(links, 1);
  };
  environment.makeClient = [] { return nullptr; };
  environment.watchOsEvents = false;
  CReceiverServiceSettings settings;
  CReceiverManager manager(&settings, environment);
  auto monitor = std::make_unique<CUdevMonitor>([&manager](const DeviceEvent& event) { manager.OnDeviceEvent(event); });
  ASSERT_TRUE(monitor->Running());

  const std::string usb = AddUsbDevice("4-1", "16d3", "3000", "R77");
  const std::string interface = AddChild("usb", "4-1:1.0", usb, "usb_interface");
  const std::string tty = AddChild("tty", "ttyACM3", interface, nullptr);
  ASSERT_TRUE(links.WaitForOpen(u"/dev/ttyACM3"));

  // Unplugged: the kernel takes the tty and the interface away before the device goes, so
  // sysfs no longer says which port was the receiver's when its remove event is read.
  umockdev_testbed_remove_device(m_bed, tty.c_str());
  umockdev_testbed_remove_device(m_bed, interface.c_str());
  umockdev_testbed_uevent(m_bed, usb.c_str(), "remove");
  EXPECT_TRUE(links.WaitForClose(u"/dev/ttyACM3"));
  monitor.reset();  // the removal it reported has run to its end
  EXPECT_TRUE(manager.ReceiverPorts().empty());
}

}  // namespace

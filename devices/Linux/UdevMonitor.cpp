#include <libudev.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "devices/Linux/OsEvents.h"
#include "log/Logger.h"
#include "platform/WaitEvent.h"

namespace {

// "16d3/3000/100" (the PRODUCT property of a USB device) -> vendor and product.
bool ParseProduct(const char* product, uint16_t& vendor, uint16_t& productId) {
  unsigned v = 0, p = 0;
  if (!product || sscanf(product, "%x/%x/", &v, &p) != 2 || v > 0xFFFF || p > 0xFFFF) return false;
  vendor = static_cast<uint16_t>(v);
  productId = static_cast<uint16_t>(p);
  return true;
}

const char* OrEmpty(const char* text) { return text ? text : ""; }

const char* Property(udev_device* device, const char* name) {
  return OrEmpty(udev_device_get_property_value(device, name));
}

}  // namespace

struct CUdevMonitor::Impl {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  CWaitEvent stop;
  std::thread thread;
  DeviceEventHandler handler;

  // The USB devices seen arriving, by sysfs path: a device that is gone can no longer be read,
  // and its remove event may lack its ids and serial number.
  std::map<std::string, DeviceEvent> arrived;

  // A USB device as an event; false when its ids are missing.
  static bool Describe(udev_device* usb, DeviceEvent& event) {
    if (!ParseProduct(udev_device_get_property_value(usb, "PRODUCT"), event.vendorId, event.productId)) return false;
    event.serial = Property(usb, "ID_SERIAL_SHORT");
    if (event.serial.empty()) event.serial = OrEmpty(udev_device_get_sysattr_value(usb, "serial"));
    event.sysPath = OrEmpty(udev_device_get_syspath(usb));
    event.devNode = OrEmpty(udev_device_get_devnode(usb));
    return true;
  }

  // A USB device, or the tty of one (its port appearing after the device), as an event.
  void Handle(udev_device* device) {
    const char* action = udev_device_get_action(device);
    if (!action) return;
    const bool add = strcmp(action, "add") == 0;
    const bool remove = strcmp(action, "remove") == 0;
    if (!add && !remove) return;
    udev_device* usb = device;
    if (strcmp(OrEmpty(udev_device_get_subsystem(device)), "tty") == 0) {
      // A tty counts as its USB device arriving again: its port may be there only now.
      if (!add) return;
      usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
      if (!usb) return;
    } else if (strcmp(OrEmpty(udev_device_get_devtype(device)), "usb_device") != 0) {
      return;
    }
    const std::string path = OrEmpty(udev_device_get_syspath(usb));
    DeviceEvent event;
    bool known = false;
    if (remove) {
      auto it = arrived.find(path);
      if (it != arrived.end()) {
        event = it->second;
        known = true;
        arrived.erase(it);
      }
    }
    if (!known && !Describe(usb, event)) return;
    event.action = add ? DeviceAction::kArrival : DeviceAction::kRemoval;
    if (add) arrived[path] = event;
    handler(event);
  }

  void Run() {
    const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(stop),
                                            Platform::WaitHandle::Descriptor(udev_monitor_get_fd(monitor))};
    for (;;) {
      if (Platform::WaitForAny(handles, -1) != 1) return;
      while (udev_device* device = udev_monitor_receive_device(monitor)) {
        Handle(device);
        udev_device_unref(device);
      }
    }
  }
};

CUdevMonitor::CUdevMonitor(DeviceEventHandler handler) : m_impl(std::make_unique<Impl>()) {
  m_impl->handler = std::move(handler);
  m_impl->context = udev_new();
  if (m_impl->context) m_impl->monitor = udev_monitor_new_from_netlink(m_impl->context, "udev");
  if (m_impl->monitor) {
    udev_monitor_filter_add_match_subsystem_devtype(m_impl->monitor, "usb", "usb_device");
    udev_monitor_filter_add_match_subsystem_devtype(m_impl->monitor, "tty", nullptr);
    if (udev_monitor_enable_receiving(m_impl->monitor) < 0) {
      udev_monitor_unref(m_impl->monitor);
      m_impl->monitor = nullptr;
    }
  }
  if (!m_impl->monitor) {
    OV_LOG(kLogDiagnostic, "No udev device events on this machine: receivers plugged in later are not seen");
    return;
  }
  m_impl->thread = std::thread([impl = m_impl.get()] { impl->Run(); });
}

CUdevMonitor::~CUdevMonitor() {
  m_impl->stop.Set();
  if (m_impl->thread.joinable()) m_impl->thread.join();
  if (m_impl->monitor) udev_monitor_unref(m_impl->monitor);
  if (m_impl->context) udev_unref(m_impl->context);
}

bool CUdevMonitor::Running() const { return m_impl->thread.joinable(); }

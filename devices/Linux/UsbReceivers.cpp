#include "devices/UsbReceivers.h"

#include <cstdlib>
#include <mutex>

#include "devices/Linux/SysfsUsb.h"
#include "devices/ReceiverEnumerator.h"
#include "log/Logger.h"

// The receivers in sysfs: USB devices with the receivers' ids, the tty of each, and its
// "serial" and "bcdDevice". A device instance id is the device's sysfs path.
namespace {

std::mutex g_rootLock;
std::string g_root;  // empty: not set here

// The device's own tty: for the single-function receiver one of the device or its
// interfaces, for the composite receiver one of the device itself.
std::string OwnPort(const SysfsUsb::Device& device) {
  std::string port = SysfsUsb::TtyOf(device.directory);
  if (!port.empty() || device.productId != CReceiverEnumerator::kProductId) return port;
  for (const auto& interface : SysfsUsb::Interfaces(device)) {
    port = SysfsUsb::TtyOf(interface);
    if (!port.empty()) break;
  }
  return port;
}

std::filesystem::path FirstInterface(const SysfsUsb::Device& device) {
  return device.directory / (device.name + ":1.0");
}

// The port of a receiver's device, the composite's first interface tried when the device has
// none of its own: 0 when found, 1 otherwise.
int ReadPort(const SysfsUsb::Device& device, Voxlet::StringBuffer& port) {
  OV_LOG(kLogMilestone, "WE FOUND REG KEY %s", device.directory.c_str());
  std::string found = OwnPort(device);
  if (found.empty() && device.productId == CReceiverEnumerator::kCompositeProductId) {
    const std::filesystem::path interface = FirstInterface(device);
    std::error_code ec;
    if (!std::filesystem::is_directory(interface, ec)) return 1;
    OV_LOG(kLogMilestone, "WE FOUND REG KEY %s", interface.c_str());
    found = SysfsUsb::TtyOf(interface);
  }
  if (found.empty()) return 1;
  port = Voxlet::UTF8to16(found);
  OV_LOG(kLogMilestone, "WE READ PORT VALUE %s", found.c_str());
  return 0;
}

std::string Canonical(const std::filesystem::path& path) {
  std::error_code ec;
  const auto resolved = std::filesystem::canonical(path, ec);
  return ec ? path.string() : resolved.string();
}

}  // namespace

namespace UsbReceivers {

bool Walk(const std::function<bool(const SBConnectionInfo& info)>& found) {
  for (const SysfsUsb::Device& device : SysfsUsb::ListDevices(CReceiverEnumerator::SysfsRoot())) {
    if (CReceiverEnumerator::IsRecognizedDevice(device.vendorId, device.productId) != 0) continue;
    // The composite receiver's port is looked for on this very device, not by its serial
    // number: two receivers without serial numbers must not share one port.
    std::string port = OwnPort(device);
    if (port.empty() && device.productId == CReceiverEnumerator::kCompositeProductId)
      port = SysfsUsb::TtyOf(FirstInterface(device));
    if (port.empty()) continue;
    const SBConnectionInfo info = DescribeReceiverPort(
        Voxlet::UTF8to16(port), Voxlet::UTF8to16(Canonical(device.directory)), Voxlet::UTF8to16(device.serial),
        CReceiverEnumerator::GetVersionFromReceiverInfo(device.directory.string()));
    if (!found(info)) return false;
  }
  return true;
}

std::vector<Voxlet::StringBuffer> CompositePorts() {
  std::vector<Voxlet::StringBuffer> ports;
  for (const SysfsUsb::Device& device : SysfsUsb::ListDevices(CReceiverEnumerator::SysfsRoot())) {
    if (device.vendorId != CReceiverEnumerator::kVendorId ||
        device.productId != CReceiverEnumerator::kCompositeProductId)
      continue;
    const std::string port = SysfsUsb::TtyOf(FirstInterface(device));
    if (!port.empty()) ports.push_back(Voxlet::UTF8to16(port));
  }
  return ports;
}

}  // namespace UsbReceivers

void CReceiverEnumerator::SetSysfsRoot(const std::string& root) {
  std::lock_guard<std::mutex> guard(g_rootLock);
  g_root = root;
}

std::string CReceiverEnumerator::SysfsRoot() {
  std::lock_guard<std::mutex> guard(g_rootLock);
  if (!g_root.empty()) return g_root;
  const char* env = std::getenv("OVANTA_SYSFS_ROOT");
  return env && *env ? env : "/sys";
}

int CReceiverEnumerator::GetDeviceVirtualPort(uint16_t vendorId, uint16_t productId,
                                              const Voxlet::StringBuffer& serialNumber, Voxlet::StringBuffer& port) {
  if (productId != kProductId && productId != kCompositeProductId) return 1;
  const std::string serial = Voxlet::UTF16to8(serialNumber);
  for (const SysfsUsb::Device& device : SysfsUsb::ListDevices(SysfsRoot()))
    if (device.vendorId == vendorId && device.productId == productId && device.serial == serial)
      return ReadPort(device, port);
  return 1;
}

int CReceiverEnumerator::GetDevicePort(const DeviceEvent& event, Voxlet::StringBuffer& port) {
  const std::optional<SysfsUsb::Device> device = SysfsUsb::FindDevice(SysfsRoot(), event.sysPath);
  if (!device || IsRecognizedDevice(device->vendorId, device->productId) != 0) return 1;
  return ReadPort(*device, port);
}

bool CReceiverEnumerator::SameDevice(const std::string& devicePath, const std::string& otherPath) {
  return SysfsUsb::SameDevice(devicePath, otherPath);
}

uint16_t CReceiverEnumerator::GetVersionFromReceiverInfo(const std::string& deviceDirectory) {
  const auto text = SysfsUsb::ReadAttribute(std::filesystem::path(deviceDirectory) / "bcdDevice");
  if (!text) return kUnknownRevision;
  return SysfsUsb::ParseHex16(*text).value_or(0);
}

#include "devices/ReceiverEnumerator.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "devices/SysfsUsb.h"
#include "log/Logger.h"
#include "platform/Registry.h"

namespace {

std::mutex g_rootLock;
std::string g_root;  // empty: not set here

const char* const kSettingsKey = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
const char* const kPreferencesStore = "com.vantrel.Preferences";

// The ports of the "Ports" setting: ';'-separated device paths, blanks around them ignored.
std::vector<std::string> ConfiguredPorts() {
  const std::string setting = ReadRegistryString(0, kSettingsKey, "Ports", "", kPreferencesStore);
  std::vector<std::string> ports;
  size_t start = 0;
  while (start <= setting.size()) {
    size_t end = setting.find(';', start);
    if (end == std::string::npos) end = setting.size();
    std::string port = setting.substr(start, end - start);
    port.erase(0, port.find_first_not_of(" \t"));
    port.erase(port.find_last_not_of(" \t") + 1);
    if (!port.empty() && std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
    start = end + 1;
  }
  return ports;
}

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

SBConnectionInfo DescribePort(const std::string& port, const std::string& instanceId, const std::string& serial,
                              uint16_t revision) {
  SBConnectionInfo info;
  info.reserved = 0;
  info.connectionKind = kConnectionCom;
  info.portName = Voxlet::UTF8to16(port);
  info.deviceInstanceId = Voxlet::UTF8to16(instanceId);
  info.portName2 = info.portName;
  info.serialNumber = Voxlet::UTF8to16(serial);
  info.flagA = 1;
  info.flagB = 0;
  info.flagC = 1;
  info.deviceRevision = revision;
  info.word3 = 0;
  info.word4 = 0;
  return info;
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

int CReceiverEnumerator::Enumerate(const ReceiverFoundCallback& callback) {
  EnumerateRegistry();
  std::vector<std::string> handedOver;
  for (const SysfsUsb::Device& device : SysfsUsb::ListDevices(SysfsRoot())) {
    if (IsRecognizedDevice(device.vendorId, device.productId) != 0) continue;
    // The composite receiver's port is looked for on this very device, not by its serial
    // number: two receivers without serial numbers must not share one port.
    std::string port = OwnPort(device);
    if (port.empty() && device.productId == kCompositeProductId) port = SysfsUsb::TtyOf(FirstInterface(device));
    if (port.empty()) continue;
    handedOver.push_back(port);
    const SBConnectionInfo info = DescribePort(port, Canonical(device.directory), device.serial,
                                               GetVersionFromReceiverInfo(device.directory.string()));
    if (!callback(info)) return 0;
  }
  // Receivers that are not on USB (serial receivers, simulators) come from the setting.
  for (const std::string& port : ConfiguredPorts()) {
    if (std::find(handedOver.begin(), handedOver.end(), port) != handedOver.end()) continue;
    if (!callback(DescribePort(port, "", "", kUnknownRevision))) return 0;
  }
  return 0;
}

int CReceiverEnumerator::EnumerateRegistry() {
  m_ports.clear();
  for (const SysfsUsb::Device& device : SysfsUsb::ListDevices(SysfsRoot())) {
    if (device.vendorId != kVendorId || device.productId != kCompositeProductId) continue;
    const std::string port = SysfsUsb::TtyOf(FirstInterface(device));
    if (!port.empty()) m_ports.push_back(Voxlet::UTF8to16(port));
  }
  for (const std::string& port : ConfiguredPorts()) {
    const Voxlet::StringBuffer wide = Voxlet::UTF8to16(port);
    if (std::find(m_ports.begin(), m_ports.end(), wide) == m_ports.end()) m_ports.push_back(wide);
  }
  return 0;
}

int CReceiverEnumerator::GetDevicePath(int index, Voxlet::StringBuffer& path) const {
  if (index < 0 || index >= GetCount()) return 1;
  path = m_ports[static_cast<size_t>(index)];
  return 0;
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

int CReceiverEnumerator::GetDevicePort(const std::string& devicePath, Voxlet::StringBuffer& port) {
  const std::optional<SysfsUsb::Device> device = SysfsUsb::FindDevice(SysfsRoot(), devicePath);
  if (!device || IsRecognizedDevice(device->vendorId, device->productId) != 0) return 1;
  return ReadPort(*device, port);
}

Voxlet::StringBuffer CReceiverEnumerator::GetReceiverSerialNumber(Voxlet::StringBuffer instanceId) {
  const size_t slash = instanceId.rfind(u'\\');
  return slash == Voxlet::StringBuffer::npos ? instanceId : instanceId.substr(slash + 1);
}

uint16_t CReceiverEnumerator::GetVersionFromReceiverInfo(const std::string& deviceDirectory) {
  const auto text = SysfsUsb::ReadAttribute(std::filesystem::path(deviceDirectory) / "bcdDevice");
  if (!text) return kUnknownRevision;
  return SysfsUsb::ParseHex16(*text).value_or(0);
}

bool CReceiverEnumerator::IsDeviceAReceiverDevice(Voxlet::StringBuffer path) {
  for (char16_t& c : path)
    if (c < 0x80) c = static_cast<char16_t>(std::toupper(static_cast<int>(c)));
  return path.find(u"VID_16D3&PID_3000") != Voxlet::StringBuffer::npos ||
         path.find(u"VID_16D3&PID_0051") != Voxlet::StringBuffer::npos;
}

int CReceiverEnumerator::IsRecognizedDevice(uint16_t vendorId, uint16_t productId) {
  return vendorId == kVendorId && (productId == kProductId || productId == kCompositeProductId) ? 0 : 1;
}

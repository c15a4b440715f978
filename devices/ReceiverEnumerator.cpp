#include "devices/ReceiverEnumerator.h"

#include <algorithm>
#include <cctype>

#include "devices/UsbReceivers.h"
#include "platform/Registry.h"

namespace {

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

}  // namespace

SBConnectionInfo DescribeReceiverPort(const Voxlet::StringBuffer& port, const Voxlet::StringBuffer& instanceId,
                                      const Voxlet::StringBuffer& serial, uint16_t revision) {
  SBConnectionInfo info;
  info.reserved = 0;
  info.connectionKind = kConnectionCom;
  info.portName = port;
  info.deviceInstanceId = instanceId;
  info.portName2 = info.portName;
  info.serialNumber = serial;
  info.flagA = 1;
  info.flagB = 0;
  info.flagC = 1;
  info.deviceRevision = revision;
  info.word3 = 0;
  info.word4 = 0;
  return info;
}

int CReceiverEnumerator::Enumerate(const ReceiverFoundCallback& callback) {
  EnumerateRegistry();
  std::vector<Voxlet::StringBuffer> handedOver;
  const bool goOn = UsbReceivers::Walk([&](const SBConnectionInfo& info) {
    handedOver.push_back(info.portName);
    return callback(info);
  });
  if (!goOn) return 0;
  // Receivers that are not on USB (serial receivers, simulators) come from the setting.
  for (const std::string& port : ConfiguredPorts()) {
    const Voxlet::StringBuffer wide = Voxlet::UTF8to16(port);
    if (std::find(handedOver.begin(), handedOver.end(), wide) != handedOver.end()) continue;
    if (!callback(DescribeReceiverPort(wide, u"", u"", kUnknownRevision))) return 0;
  }
  return 0;
}

int CReceiverEnumerator::EnumerateRegistry() {
  m_ports = UsbReceivers::CompositePorts();
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

Voxlet::StringBuffer CReceiverEnumerator::GetReceiverSerialNumber(Voxlet::StringBuffer instanceId) {
  const size_t slash = instanceId.rfind(u'\\');
  return slash == Voxlet::StringBuffer::npos ? instanceId : instanceId.substr(slash + 1);
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

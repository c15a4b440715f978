#include "devices/UsbReceivers.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "connections/Windows/CfgMgrDll.h"
#include "connections/Windows/SetupApiDll.h"
#include "devices/ReceiverEnumerator.h"
#include "log/Logger.h"

// The receivers among the present USB devices, walked through SetupAPI; their ports are the
// "PortName" values the serial drivers keep in the registry.
namespace {

// The USB device interface class: every USB device, receivers among them.
constexpr GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr const char* kUsbEnumKey = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";

Voxlet::StringBuffer FromWide(const wchar_t* text) {
  return Voxlet::StringBuffer(reinterpret_cast<const char16_t*>(text));
}

std::wstring ToWide(const Voxlet::StringBuffer& text) { return std::wstring(text.begin(), text.end()); }

std::wstring WideAscii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The device instance id a device path names: an instance id ("USB\VID_16D3&PID_3000\R00042",
// as enumeration gives it) as it is; an interface's path ("\\?\USB#VID_16D3&PID_3000#R00042#{a5dc...}",
// as a device event gives it) without its "\\?\" and its class, each '#' read as '\'.
std::string InstanceIdOfPath(const std::string& devicePath) {
  std::string id = devicePath;
  if (id.rfind("\\\\?\\", 0) != 0) return id;
  id.erase(0, 4);
  const size_t classGuid = id.rfind("#{");
  if (classGuid != std::string::npos) id.erase(classGuid);
  std::replace(id.begin(), id.end(), '#', '\\');
  return id;
}

// An open registry key, closed with its owner.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY key) : m_key(key == INVALID_HANDLE_VALUE ? nullptr : key) {}
  ~Key() {
    if (m_key) ::RegCloseKey(m_key);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  bool Open(HKEY parent, const std::wstring& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    m_key = key;
    return true;
  }
  HKEY Get() const { return m_key; }
  explicit operator bool() const { return m_key != nullptr; }

 private:
  HKEY m_key = nullptr;
};

// The key's "PortName" string; empty when it has none. The value is read as the system keeps
// it, which need not end in a null.
Voxlet::StringBuffer PortNameOf(const Key& key) {
  if (!key) return {};
  wchar_t buffer[256] = {};
  DWORD type = 0;
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (::RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return {};
  return FromWide(buffer);
}

// The port of the receiver at "<Enum\USB>\<device key>\Device Parameters\", logged as it is
// found: false when the key is missing, else true with the port (empty when it has none).
bool PortUnder(const std::string& deviceKey, Voxlet::StringBuffer& port) {
  const std::string path = kUsbEnumKey + deviceKey + "\\Device Parameters\\";
  Key key;
  if (!key.Open(HKEY_LOCAL_MACHINE, WideAscii(path))) return false;
  OV_LOG(kLogMilestone, "WE FOUND REG KEY %s", path.c_str());
  port = PortNameOf(key);
  if (!port.empty()) OV_LOG(kLogMilestone, "WE READ PORT VALUE %s", Voxlet::UTF16to8(port).c_str());
  return true;
}

std::string DeviceKeyName(uint16_t vendorId, uint16_t productId, const char* suffix) {
  char name[32];
  std::snprintf(name, sizeof name, "Vid_%.4x&Pid_%.4x%s", vendorId, productId, suffix);
  return name;
}

// The key (under Enum\USB) of a composite receiver's first interface, found in the device
// tree: the composite driver names its children "<serial>_00" or, on most machines, with ids
// it makes up ("7&2F1A3B&0&0000"), which only the tree ties to their device. Empty when the
// tree does not have it (or the configuration manager cannot be loaded).
std::string FirstInterfaceKey(uint16_t vendorId, uint16_t productId, const std::string& serial) {
  CCfgMgrDll& tree = CCfgMgrDll::Current();
  char ids[32];
  std::snprintf(ids, sizeof ids, "USB\\VID_%.4X&PID_%.4X\\", vendorId, productId);
  const std::wstring deviceId = WideAscii(ids) + ToWide(Voxlet::UTF8to16(serial));
  DEVINST device = 0, child = 0;
  if (tree.LocateDevNode(&device, deviceId.c_str(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return "";
  // A composite device has a child per interface; a few at most.
  CONFIGRET next = tree.GetChild(&child, device, 0);
  for (int n = 0; next == CR_SUCCESS && n < 32; ++n, next = tree.GetSibling(&child, child, 0)) {
    wchar_t buffer[MAX_DEVICE_ID_LEN + 1] = {};
    if (tree.GetDeviceId(child, buffer, MAX_DEVICE_ID_LEN + 1, 0) != CR_SUCCESS) continue;
    std::wstring id = buffer;
    std::wstring upper = id;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    if (upper.rfind(L"USB\\", 0) == 0 && upper.find(L"&MI_00\\") != std::wstring::npos)
      return Voxlet::UTF16to8(FromWide(id.c_str() + 4));
  }
  return "";
}

// The product id the path names ("...VID_16D3&PID_0051..."), 0 when it names no receiver.
uint16_t ProductInPath(Voxlet::StringBuffer path) {
  for (char16_t& c : path)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  if (path.find(u"VID_16D3&PID_3000") != Voxlet::StringBuffer::npos) return CReceiverEnumerator::kProductId;
  if (path.find(u"VID_16D3&PID_0051") != Voxlet::StringBuffer::npos) return CReceiverEnumerator::kCompositeProductId;
  return 0;
}

// The first string of the device's hardware ids; empty when it cannot be read.
std::string HardwareIdOf(CSetupApiDll& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::vector<wchar_t> buffer(512, L'\0');
  DWORD type = 0;
  DWORD needed = 0;
  if (!api.GetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                     static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t)), &needed))
    return {};
  if (type != REG_SZ && type != REG_MULTI_SZ) return {};
  return Voxlet::UTF16to8(FromWide(buffer.data()));
}

Voxlet::StringBuffer InstanceIdOf(CSetupApiDll& api, HDEVINFO set, SP_DEVINFO_DATA& device) {
  DWORD needed = 0;
  api.GetDeviceInstanceId(set, &device, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<wchar_t> id(needed + 1, L'\0');
  if (!api.GetDeviceInstanceId(set, &device, id.data(), needed, &needed)) return {};
  return FromWide(id.data());
}

// The interface's device path and its device; empty when it has none.
Voxlet::StringBuffer DevicePathOf(CSetupApiDll& api, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                                  SP_DEVINFO_DATA& device) {
  DWORD needed = 0;
  api.GetDeviceInterfaceDetail(set, &interfaceData, nullptr, 0, &needed, nullptr);
  if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  // The detail ends in the path; aligned for its size field, with room for a final null.
  std::vector<uint64_t> buffer((needed + sizeof(wchar_t) + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  device.cbSize = sizeof device;
  if (!api.GetDeviceInterfaceDetail(set, &interfaceData, detail, needed, &needed, &device)) return {};
  return FromWide(detail->DevicePath);
}

// One device of the walk: false ends it (the callback said so).
bool VisitDevice(CSetupApiDll& api, HDEVINFO set, SP_DEVINFO_DATA& device, const Voxlet::StringBuffer& path,
                 const std::function<bool(const SBConnectionInfo& info)>& found) {
  if (!CReceiverEnumerator::IsDeviceAReceiverDevice(path)) return true;
  const Voxlet::StringBuffer instanceId = InstanceIdOf(api, set, device);
  const Voxlet::StringBuffer serial = CReceiverEnumerator::GetReceiverSerialNumber(instanceId);
  const Key hardwareKey(api.OpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
  Voxlet::StringBuffer port = PortNameOf(hardwareKey);
  // The device's own "Device Parameters" (the composite's first interface's): looked up under
  // the product the path names, so that neither kind of receiver is looked for as the other.
  if (port.empty())
    CReceiverEnumerator::GetDeviceVirtualPort(CReceiverEnumerator::kVendorId, ProductInPath(path), serial, port);
  if (port.empty()) return true;
  const uint16_t revision = CReceiverEnumerator::GetVersionFromReceiverInfo(HardwareIdOf(api, set, device));
  return found(DescribeReceiverPort(port, instanceId, serial, revision));
}

}  // namespace

namespace UsbReceivers {

bool Walk(const std::function<bool(const SBConnectionInfo& info)>& found) {
  CSetupApiDll& api = CSetupApiDll::Current();
  const HDEVINFO set = api.GetClassDevs(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return true;
  bool goOn = true;
  for (DWORD index = 0; goOn; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!api.EnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &interfaceData)) break;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const Voxlet::StringBuffer path = DevicePathOf(api, set, interfaceData, device);
    if (path.empty()) continue;
    goOn = VisitDevice(api, set, device, path, found);
  }
  api.DestroyDeviceInfoList(set);
  return goOn;
}

std::vector<Voxlet::StringBuffer> CompositePorts() {
  std::vector<Voxlet::StringBuffer> ports;
  const std::string parent =
      DeviceKeyName(CReceiverEnumerator::kVendorId, CReceiverEnumerator::kCompositeProductId, "&Mi_00");
  Key key;
  if (!key.Open(HKEY_LOCAL_MACHINE, WideAscii(kUsbEnumKey + parent + "\\"))) return ports;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD length = 256;
    if (::RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    Key parameters;
    if (!parameters.Open(key.Get(), std::wstring(name) + L"\\Device Parameters")) continue;
    const Voxlet::StringBuffer port = PortNameOf(parameters);
    if (!port.empty()) ports.push_back(port);
  }
  return ports;
}

}  // namespace UsbReceivers

int CReceiverEnumerator::GetDeviceVirtualPort(uint16_t vendorId, uint16_t productId,
                                              const Voxlet::StringBuffer& serialNumber, Voxlet::StringBuffer& port) {
  if (productId != kProductId && productId != kCompositeProductId) return 1;
  // The serial number comes from the device: it must not reach another key than its own.
  if (serialNumber.find(u'\\') != Voxlet::StringBuffer::npos) return 1;
  const std::string serial = Voxlet::UTF16to8(serialNumber);
  Voxlet::StringBuffer found;
  // A device without a key of its own is not there: its interfaces are not looked for.
  if (!PortUnder(DeviceKeyName(vendorId, productId, "") + "\\" + serial, found)) return 1;
  if (found.empty() && productId == kCompositeProductId)
    PortUnder(DeviceKeyName(vendorId, productId, "&Mi_00") + "\\" + serial + "_00", found);
  if (found.empty() && productId == kCompositeProductId) {
    const std::string firstInterface = FirstInterfaceKey(vendorId, productId, serial);
    if (!firstInterface.empty()) PortUnder(firstInterface, found);
  }
  if (found.empty()) return 1;
  port = found;
  return 0;
}

int CReceiverEnumerator::GetDevicePort(const DeviceEvent& device, Voxlet::StringBuffer& port) {
  if (IsRecognizedDevice(device.vendorId, device.productId) != 0) return 1;
  return GetDeviceVirtualPort(device.vendorId, device.productId, Voxlet::UTF8to16(device.serial), port);
}

bool CReceiverEnumerator::SameDevice(const std::string& devicePath, const std::string& otherPath) {
  // Enumeration knows a device by its instance id, a device event by its interface's path: both
  // are read as the instance id, a name of the system's, which ignores case in it.
  const std::wstring one = ToWide(Voxlet::UTF8to16(InstanceIdOfPath(devicePath)));
  const std::wstring other = ToWide(Voxlet::UTF8to16(InstanceIdOfPath(otherPath)));
  return !one.empty() && ::CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

uint16_t CReceiverEnumerator::GetVersionFromReceiverInfo(const std::string& device) {
  if (device.empty()) return kUnknownRevision;
  std::string upper = device;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const size_t rev = upper.find("REV_");
  if (rev == std::string::npos) return 0;
  unsigned value = 0;
  if (std::sscanf(("0x" + upper.substr(rev + 4)).c_str(), "0x%04x", &value) != 1) return 0;
  return static_cast<uint16_t>(value);
}

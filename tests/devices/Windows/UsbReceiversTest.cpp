#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "connections/Windows/CfgMgrDll.h"
#include "connections/Windows/SetupApiDll.h"
#include "devices/ReceiverEnumerator.h"
#include "tests/service/TestFiles.h"

namespace {

using Voxlet::StringBuffer;

const wchar_t* const kUsbKey = L"SYSTEM\\CurrentControlSet\\Enum\\USB\\";
const wchar_t* const kHardwareKeys = L"Software\\OvantaTest\\HardwareKeys\\";

void SetPortName(HKEY root, const std::wstring& path, const std::optional<std::wstring>& port) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS)
      << "cannot create " << std::string(path.begin(), path.end());
  if (port)
    ::RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port->c_str()),
                     static_cast<DWORD>((port->size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

// A device as SetupAPI would describe it. A hardware key port of nullopt: the device has no
// hardware key at all.
struct Device {
  std::wstring path;
  std::wstring instanceId;
  std::optional<std::wstring> hardwareId;  // nullopt: unreadable
  std::optional<std::wstring> hardwareKeyPort;
};

// SetupAPI as a machine with these devices would answer, the devices' hardware keys under
// HKCU. Says which devices were visited and whether the set was destroyed.
class FakeSetupApi : public CSetupApiDll {
 public:
  explicit FakeSetupApi(std::vector<Device> devices) : m_devices(std::move(devices)) {
    for (size_t i = 0; i < m_devices.size(); ++i)
      if (m_devices[i].hardwareKeyPort)
        SetPortName(HKEY_CURRENT_USER, kHardwareKeys + std::to_wstring(i), *m_devices[i].hardwareKeyPort);
    CSetupApiDll::Use(this);
  }
  ~FakeSetupApi() override {
    CSetupApiDll::Use(nullptr);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\OvantaTest");
  }

  HDEVINFO GetClassDevs(const GUID* classGuid, PCWSTR, HWND, DWORD flags) override {
    classAsked = *classGuid;
    flagsAsked = flags;
    return kSet;
  }
  BOOL EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data) override {
    if (set != kSet || index >= m_devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = index + 1;
    return TRUE;
  }
  BOOL GetDeviceInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                DWORD size, PDWORD required, PSP_DEVINFO_DATA device) override {
    const std::wstring& path = m_devices[data->Reserved - 1].path;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * 2);
    if (required) *required = needed;
    if (!detail || size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * 2);
    if (device) device->Reserved = data->Reserved;
    visited.push_back(data->Reserved - 1);
    return TRUE;
  }
  BOOL GetDeviceInstanceId(HDEVINFO, PSP_DEVINFO_DATA device, PWSTR id, DWORD size, PDWORD required) override {
    const std::wstring& text = Of(device).instanceId;
    if (required) *required = static_cast<DWORD>(text.size() + 1);
    if (!id || size < text.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(id, text.c_str(), (text.size() + 1) * 2);
    return TRUE;
  }
  BOOL GetDeviceRegistryProperty(HDEVINFO, PSP_DEVINFO_DATA device, DWORD property, PDWORD type, PBYTE buffer,
                                 DWORD size, PDWORD required) override {
    const std::optional<std::wstring>& id = Of(device).hardwareId;
    if (property != SPDRP_HARDWAREID || !id) return Fail(ERROR_INVALID_DATA);
    std::wstring multi = *id + L'\0' + L"USB\\OTHER" + L'\0' + L'\0';
    const DWORD bytes = static_cast<DWORD>(multi.size() * 2);
    if (required) *required = bytes;
    if (size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
    *type = REG_MULTI_SZ;
    std::memcpy(buffer, multi.data(), bytes);
    return TRUE;
  }
  HKEY OpenDevRegKey(HDEVINFO, PSP_DEVINFO_DATA device, DWORD scope, DWORD, DWORD keyType, REGSAM access) override {
    const size_t index = device->Reserved - 1;
    HKEY key = nullptr;
    if (scope != DICS_FLAG_GLOBAL || keyType != DIREG_DEV || !m_devices[index].hardwareKeyPort ||
        ::RegOpenKeyExW(HKEY_CURRENT_USER, (kHardwareKeys + std::to_wstring(index)).c_str(), 0, access, &key) !=
            ERROR_SUCCESS)
      return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    return key;
  }
  BOOL DestroyDeviceInfoList(HDEVINFO set) override {
    destroyed += set == kSet;
    return TRUE;
  }

  GUID classAsked{};
  DWORD flagsAsked = 0;
  std::vector<size_t> visited;
  int destroyed = 0;

 private:
  static inline const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
  static BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
  }
  const Device& Of(PSP_DEVINFO_DATA device) const { return m_devices[device->Reserved - 1]; }

  std::vector<Device> m_devices;
};

// "Device Parameters" keys under HKLM's USB tree, for the receivers' serial numbers used here
// only; removed afterwards.
class DeviceParameters {
 public:
  ~DeviceParameters() {
    for (const std::wstring& key : m_created) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
  }
  // deviceKey e.g. L"Vid_16d3&Pid_0051\\OVT2"; port nullopt: the key without "PortName".
  void Add(const std::wstring& deviceKey, const std::optional<std::wstring>& port) {
    const std::wstring key = kUsbKey + deviceKey;
    m_created.push_back(key);
    SetPortName(HKEY_LOCAL_MACHINE, key + L"\\Device Parameters", port);
  }

 private:
  std::vector<std::wstring> m_created;
};

std::vector<SBConnectionInfo> EnumerateAll() {
  std::vector<SBConnectionInfo> found;
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([&](const SBConnectionInfo& info) {
    found.push_back(info);
    return true;
  });
  return found;
}

const wchar_t* const kClass = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// The configured ports ("Ports") come from a store of the test's own: none, whatever the
// machine's registry holds.
class UsbReceivers : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedRegistry registry{dir.File("registry.ini")};
};

std::wstring PathOf(const std::wstring& ids, const std::wstring& serial) {
  return L"\\\\?\\USB#" + ids + L"#" + serial + L"#" + kClass;
}

// The walk over the USB device interfaces: receivers by their paths' ids in any case, each
// port from its hardware key, else from its "Device Parameters" (the composite's first
// interface's); devices without a port, other devices and empty paths are passed over.
TEST_F(UsbReceivers, TheWalkHandsOverEachReceiverWithItsPortRevisionAndSerialNumber) {
  DeviceParameters parameters;
  parameters.Add(L"Vid_16d3&Pid_0051\\OVT2", std::nullopt);
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT2_00", L"COM7");
  parameters.Add(L"Vid_16d3&Pid_3000\\OVT4", L"COM9");
  FakeSetupApi api({
      {PathOf(L"VID_16D3&PID_3000", L"OVT1"), L"USB\\VID_16D3&PID_3000\\OVT1", L"USB\\VID_16D3&PID_3000&REV_0102",
       L"COM5"},
      {PathOf(L"VID_0403&PID_6001", L"FT1"), L"USB\\VID_0403&PID_6001\\FT1", L"USB\\VID_0403&PID_6001", L"COM3"},
      {PathOf(L"vid_16d3&pid_0051", L"OVT2"), L"USB\\VID_16D3&PID_0051\\OVT2", L"USB\\VID_16D3&PID_0051", std::nullopt},
      {PathOf(L"VID_16D3&PID_3000", L"OVT3"), L"USB\\VID_16D3&PID_3000\\OVT3", L"USB\\VID_16D3&PID_3000&REV_0200",
       std::nullopt},
      {L"", L"USB\\NOPATH", L"", L"COM4"},
      {PathOf(L"VID_16D3&PID_3000", L"OVT4"), L"USB\\VID_16D3&PID_3000\\OVT4", std::nullopt, L""},
  });
  const std::vector<SBConnectionInfo> found = EnumerateAll();
  EXPECT_EQ(api.flagsAsked, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(api.classAsked.Data1, 0xA5DCBF10u);
  EXPECT_EQ(api.destroyed, 1);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].portName, u"COM5");
  EXPECT_EQ(found[0].portName2, u"COM5");
  EXPECT_EQ(found[0].deviceInstanceId, u"USB\\VID_16D3&PID_3000\\OVT1");
  EXPECT_EQ(found[0].serialNumber, u"OVT1");
  EXPECT_EQ(found[0].deviceRevision, 0x0102);
  EXPECT_EQ(found[0].connectionKind, kConnectionCom);
  EXPECT_EQ(found[1].portName, u"COM7");
  EXPECT_EQ(found[1].serialNumber, u"OVT2");
  EXPECT_EQ(found[1].deviceRevision, 0);  // a hardware id without a revision
  // An empty hardware-key port falls back to "Device Parameters"; an unreadable hardware id
  // gives the revision receivers have when they do not say.
  EXPECT_EQ(found[2].portName, u"COM9");
  EXPECT_EQ(found[2].deviceRevision, CReceiverEnumerator::kUnknownRevision);
}

// Enumeration keeps a receiver's instance id as its device, a device event names its
// interface's path: the hotplug's pending entries and the receiver list compare the two, and
// must find the receiver the walk opened (else its removal goes to the registry and a pending
// entry of it is never dropped).
TEST_F(UsbReceivers, TheWalksDeviceAndADeviceEventsPathNameTheSameReceiver) {
  FakeSetupApi api(
      {{PathOf(L"VID_16D3&PID_3000", L"R00042"), L"USB\\VID_16D3&PID_3000\\R00042", std::nullopt, L"COM5"}});
  const std::vector<SBConnectionInfo> found = EnumerateAll();
  ASSERT_EQ(found.size(), 1u);
  const std::string device = Voxlet::UTF16to8(found[0].deviceInstanceId);
  const std::string event = "\\\\?\\usb#vid_16d3&pid_3000#r00042#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  EXPECT_TRUE(CReceiverEnumerator::SameDevice(device, event));
  EXPECT_TRUE(CReceiverEnumerator::SameDevice(event, device));
  EXPECT_TRUE(CReceiverEnumerator::SameDevice(event, "\\\\?\\USB#VID_16D3&PID_3000#R00042"));
  EXPECT_TRUE(CReceiverEnumerator::SameDevice(device, "usb\\vid_16d3&pid_3000\\r00042"));
  // Another serial number, another product, a serial number that only starts the same.
  EXPECT_FALSE(CReceiverEnumerator::SameDevice(device, "\\\\?\\USB#VID_16D3&PID_3000#R00043#{a5dc}"));
  EXPECT_FALSE(CReceiverEnumerator::SameDevice(device, "\\\\?\\USB#VID_16D3&PID_0051#R00042#{a5dc}"));
  EXPECT_FALSE(CReceiverEnumerator::SameDevice(device, "\\\\?\\USB#VID_16D3&PID_3000#R0004#{a5dc}"));
  // A device that is not known names no device.
  EXPECT_FALSE(CReceiverEnumerator::SameDevice("", ""));
}

// A callback that answers false ends the walk at once; the set is destroyed all the same.
TEST_F(UsbReceivers, ACallbackThatSaysStopEndsTheWalk) {
  FakeSetupApi api({
      {PathOf(L"VID_16D3&PID_3000", L"A"), L"USB\\X\\A", L"", L"COM5"},
      {PathOf(L"VID_16D3&PID_3000", L"B"), L"USB\\X\\B", L"", L"COM6"},
  });
  int calls = 0;
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([&](const SBConnectionInfo&) { return ++calls, false; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(api.visited, std::vector<size_t>{0});
  EXPECT_EQ(api.destroyed, 1);
}

// A device's port by its ids and serial number, as a device event gives them: the composite's
// first interface is tried only when the device's own key exists without a port, and a serial
// number cannot reach another device's key.
TEST_F(UsbReceivers, PortsByIdsAndSerialNumberFromTheRegistry) {
  DeviceParameters parameters;
  parameters.Add(L"Vid_16d3&Pid_3000\\OVT5", L"COM12");
  parameters.Add(L"Vid_16d3&Pid_0051\\OVT6", std::nullopt);
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT6_00", L"COM13");
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT7_00", L"COM14");  // its device has no key
  parameters.Add(L"Vid_16d3&Pid_3000\\OVT8", std::nullopt);
  StringBuffer port = u"unchanged";
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3000, u"OVT5", port), 0);
  EXPECT_EQ(port, u"COM12");
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"OVT6", port), 0);
  EXPECT_EQ(port, u"COM13");
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"OVT7", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3000, u"OVT8", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3001, u"OVT5", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3000, u"..\\Vid_16d3&Pid_3000\\OVT5", port), 1);
  EXPECT_EQ(port, u"COM13");

  DeviceEvent event = DeviceEventFromPath(DeviceAction::kArrival, DeviceType::kInterface,
                                          "\\\\?\\USB#VID_16D3&PID_3000#OVT5#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  EXPECT_EQ(CReceiverEnumerator::GetDevicePort(event, port), 0);
  EXPECT_EQ(port, u"COM12");
  event.vendorId = 0x0403;
  EXPECT_EQ(CReceiverEnumerator::GetDevicePort(event, port), 1);
}

// A device tree as the configuration manager would give it: each device by its instance id, its
// children in order. Says which devices were looked for.
class FakeDeviceTree : public CCfgMgrDll {
 public:
  explicit FakeDeviceTree(std::vector<std::pair<std::wstring, std::vector<std::wstring>>> devices)
      : m_devices(std::move(devices)) {
    for (const auto& [id, children] : m_devices) {
      m_ids.push_back(id);
      for (const std::wstring& child : children) m_ids.push_back(child);
    }
    CCfgMgrDll::Use(this);
  }
  ~FakeDeviceTree() override { CCfgMgrDll::Use(nullptr); }

  CONFIGRET LocateDevNode(DEVINST* node, const wchar_t* instanceId, ULONG flags) override {
    located.push_back(instanceId);
    if (flags != CM_LOCATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
    for (size_t i = 0; i < m_ids.size(); ++i)
      if (_wcsicmp(m_ids[i].c_str(), instanceId) == 0) return *node = static_cast<DEVINST>(i + 1), CR_SUCCESS;
    return CR_NO_SUCH_DEVNODE;
  }
  CONFIGRET GetChild(DEVINST* child, DEVINST node, ULONG) override {
    const std::vector<std::wstring>* children = ChildrenOf(node);
    if (!children || children->empty()) return CR_NO_SUCH_DEVNODE;
    return *child = NodeOf((*children)[0]), CR_SUCCESS;
  }
  CONFIGRET GetSibling(DEVINST* sibling, DEVINST node, ULONG) override {
    for (const auto& [id, children] : m_devices)
      for (size_t i = 0; i + 1 < children.size(); ++i)
        if (NodeOf(children[i]) == node) return *sibling = NodeOf(children[i + 1]), CR_SUCCESS;
    return CR_NO_SUCH_DEVNODE;
  }
  CONFIGRET GetDeviceId(DEVINST node, wchar_t* buffer, ULONG length, ULONG) override {
    if (node == 0 || node > m_ids.size()) return CR_INVALID_DEVNODE;
    const std::wstring& id = m_ids[node - 1];
    if (length < id.size() + 1) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
  }

  std::vector<std::wstring> located;

 private:
  DEVINST NodeOf(const std::wstring& id) const {
    return static_cast<DEVINST>(std::find(m_ids.begin(), m_ids.end(), id) - m_ids.begin() + 1);
  }
  const std::vector<std::wstring>* ChildrenOf(DEVINST node) const {
    for (const auto& [id, children] : m_devices)
      if (NodeOf(id) == node) return &children;
    return nullptr;
  }
  std::vector<std::pair<std::wstring, std::vector<std::wstring>>> m_devices;
  std::vector<std::wstring> m_ids;
};

// A composite receiver's port is its first interface's: under "<serial>_00" where the composite
// driver names its children so (found without the device tree), else under whatever name the
// tree gives the child of interface 0 (ids the driver made up, as most machines have them).
TEST_F(UsbReceivers, TheCompositesPortIsItsFirstInterfacesWhateverItsName) {
  DeviceParameters parameters;
  parameters.Add(L"Vid_16d3&Pid_0051\\OVT21", std::nullopt);
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT21_00", L"COM31");
  parameters.Add(L"Vid_16d3&Pid_0051\\OVT22", std::nullopt);
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\7&2f1a3b&0&0000", L"COM32");
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_01\\7&2f1a3b&0&0001", L"COM99");
  parameters.Add(L"Vid_16d3&Pid_0051\\OVT23", std::nullopt);  // in the tree without interface 0
  FakeDeviceTree tree({
      {L"USB\\VID_16D3&PID_0051\\OVT22",
       {L"USB\\VID_16D3&PID_0051&MI_01\\7&2F1A3B&0&0001", L"USB\\VID_16D3&PID_0051&MI_00\\7&2F1A3B&0&0000"}},
      {L"USB\\VID_16D3&PID_0051\\OVT23", {L"USB\\VID_16D3&PID_0051&MI_01\\7&AAA&0&0001"}},
  });
  StringBuffer port;
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"OVT21", port), 0);
  EXPECT_EQ(port, u"COM31");
  EXPECT_TRUE(tree.located.empty());
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"OVT22", port), 0);
  EXPECT_EQ(port, u"COM32");
  EXPECT_EQ(tree.located, std::vector<std::wstring>{L"USB\\VID_16D3&PID_0051\\OVT22"});
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"OVT23", port), 1);
  EXPECT_EQ(port, u"COM32");
  // A device event finds it the same way.
  const DeviceEvent event =
      DeviceEventFromPath(DeviceAction::kArrival, DeviceType::kInterface,
                          "\\\\?\\USB#VID_16D3&PID_0051#OVT22#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  port.clear();
  EXPECT_EQ(CReceiverEnumerator::GetDevicePort(event, port), 0);
  EXPECT_EQ(port, u"COM32");
}

// The composite receivers' first interfaces give the port list, with the enumeration.
TEST_F(UsbReceivers, TheCompositeReceiversInterfacesMakeThePortList) {
  DeviceParameters parameters;
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT9_00", L"COM21");
  parameters.Add(L"Vid_16d3&Pid_0051&Mi_00\\OVT10_00", std::nullopt);
  FakeSetupApi api({});
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([](const SBConnectionInfo&) { return true; });
  std::vector<StringBuffer> ports;
  for (int i = 0; i < enumerator.GetCount(); ++i) {
    StringBuffer port;
    ASSERT_EQ(enumerator.GetDevicePath(i, port), 0);
    ports.push_back(port);
  }
  EXPECT_NE(std::find(ports.begin(), ports.end(), u"COM21"), ports.end());
  StringBuffer port;
  EXPECT_EQ(enumerator.GetDevicePath(enumerator.GetCount(), port), 1);
}

TEST_F(UsbReceivers, RevisionsFromHardwareIdsAndDevicePathsWithoutRegardToCase) {
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo("USB\\VID_16D3&PID_3000&REV_0102"), 0x0102);
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo("usb\\vid_16d3&pid_3000&rev_01ab"), 0x01AB);
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo("USB\\VID_16D3&PID_3000"), 0);
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo("USB\\REV_ZZ"), 0);
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo(""), CReceiverEnumerator::kUnknownRevision);
  EXPECT_TRUE(
      CReceiverEnumerator::SameDevice("\\\\?\\USB#VID_16D3&PID_3000#A#{x}", "\\\\?\\usb#vid_16d3&pid_3000#a#{X}"));
  EXPECT_FALSE(CReceiverEnumerator::SameDevice("\\\\?\\USB#VID_16D3&PID_3000#A", "\\\\?\\USB#VID_16D3&PID_3000#B"));
}

}  // namespace

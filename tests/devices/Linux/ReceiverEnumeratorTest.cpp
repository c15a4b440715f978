#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "devices/Linux/SysfsUsb.h"
#include "devices/ReceiverEnumerator.h"
#include "platform/Registry.h"
#include "tests/devices/FakeSysfs.h"
#include "tests/service/TestFiles.h"

namespace {

using Voxlet::StringBuffer;
using Voxlet::UTF16to8;

const char* const kSettingsKey = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";

// Each test gets its own sysfs tree and registry store.
class ReceiverEnumeration : public ::testing::Test {
 protected:
  void SetUp() override { CReceiverEnumerator::SetSysfsRoot(sysfs.Root().string()); }
  void TearDown() override { CReceiverEnumerator::SetSysfsRoot(""); }
  // Every receiver handed over, in order, while the callback answers `goOn`.
  std::vector<SBConnectionInfo> EnumerateAll(bool goOn = true) {
    std::vector<SBConnectionInfo> found;
    EXPECT_EQ(CReceiverEnumerator().Enumerate([&](const SBConnectionInfo& info) {
      found.push_back(info);
      return goOn;
    }),
              0);
    return found;
  }
  std::vector<std::string> Ports(const std::vector<SBConnectionInfo>& infos) {
    std::vector<std::string> ports;
    for (const auto& info : infos) ports.push_back(UTF16to8(info.portName));
    return ports;
  }
  // A receiver with its tty on its first interface ("" for none).
  std::filesystem::path Receiver(const std::string& name, const std::string& product, const std::string& serial,
                                 const std::string& tty) {
    const auto device = sysfs.AddDevice(name, "16d3", product, serial);
    const auto interface = sysfs.AddInterface(device, "1.0");
    if (!tty.empty()) FakeSysfs::AddClassTty(interface, tty);
    return device;
  }

  FakeSysfs sysfs;
  ScopedRegistry registry{(sysfs.Root() / "registry.ini").string()};
};

// Receivers are found through the tty of their first interface and described by their device;
// one without a port there, and other devices, are skipped.
TEST_F(ReceiverEnumeration, ReceiversAreFoundThroughTheirFirstInterfaceAndDescribed) {
  Receiver("1-1", "3000", "NOPORT", "");
  Receiver("1-2", "3000", "SN42", "ttyACM3");
  FakeSysfs::AddPortTty(sysfs.AddInterface(sysfs.AddDevice("2-1", "16d3", "0051", "C0051"), "1.0"), "ttyUSB1");
  FakeSysfs::AddClassTty(sysfs.AddInterface(Receiver("2-2", "0051", "C0052", ""), "1.2"), "ttyACM9");
  FakeSysfs::AddClassTty(sysfs.AddDevice("4-2", "16d3", "3000", "B"), "ttyACM4");        // a tty on the device itself
  FakeSysfs::AddClassTty(sysfs.AddDevice("4-3", "16d3", "3000", "C", "zz"), "ttyACM5");  // an unreadable revision
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-1", "0403", "6001", "FTDI"), "1.0"), "ttyUSB0");
  Receiver("6-3", "3001", "X", "ttyACM1");
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-4", "vendor?", "3000", "Y"), "1.0"), "ttyACM2");
  Receiver("6-5", "", "Z", "ttyACM6");
  const auto found = EnumerateAll();
  ASSERT_EQ(Ports(found), (std::vector<std::string>{"/dev/ttyACM3", "/dev/ttyUSB1", "/dev/ttyACM4", "/dev/ttyACM5"}));
  EXPECT_EQ(found[0].connectionKind, uint32_t{kConnectionCom});
  EXPECT_EQ(found[0].serialNumber, u"SN42");
  EXPECT_EQ(found[1].serialNumber, u"C0051");
}

// The configured ports follow the USB receivers, each once; the setting is read from the
// preferences. A callback answering false ends the walk.
TEST_F(ReceiverEnumeration, ConfiguredPortsFollowTheUsbReceivers) {
  Receiver("7-1", "0051", "S1", "ttyACM0");
  Receiver("7-2", "3000", "S2", "ttyACM1");
  ASSERT_TRUE(WriteRegistryString(0, kSettingsKey, "Ports", " /dev/pts/4 ;;/dev/ttyACM0;/dev/ttyS1;/dev/pts/4",
                                  "com.vantrel.Preferences"));
  const auto found = EnumerateAll();
  EXPECT_EQ(Ports(found), (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyACM1", "/dev/pts/4", "/dev/ttyS1"}));
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[2].connectionKind, uint32_t{kConnectionCom});
  EXPECT_TRUE(found[2].serialNumber.empty());
  EXPECT_TRUE(found[2].deviceInstanceId.empty());  // not a USB device's
  EXPECT_EQ(Ports(EnumerateAll(false)), std::vector<std::string>{"/dev/ttyACM0"});
}

// The setting read from the registry store itself, without any sysfs tree.
TEST_F(ReceiverEnumeration, PortsReadFromTheRegistryItselfAsWell) {
  CReceiverEnumerator::SetSysfsRoot((sysfs.Root() / "absent").string());
  ASSERT_TRUE(WriteRegistryString(0, kSettingsKey, "Ports", "/dev/pts/9", kRegistryStoreName));
  EXPECT_EQ(Ports(EnumerateAll()), std::vector<std::string>{"/dev/pts/9"});
}

// The port of a plugged-in receiver by its serial number.
TEST_F(ReceiverEnumeration, VirtualPortBySerialNumber) {
  Receiver("8-1", "3000", "AAA", "ttyACM5");
  FakeSysfs::AddPortTty(sysfs.AddInterface(sysfs.AddDevice("8-2", "16d3", "0051", "BBB"), "1.0"), "ttyUSB7");
  sysfs.AddDevice("8-3", "16d3", "0051", "CCC");  // no interfaces at all
  StringBuffer port = u"unchanged";
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3000, u"AAA", port), 0);
  EXPECT_EQ(port, u"/dev/ttyACM5");
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"BBB", port), 0);
  EXPECT_EQ(port, u"/dev/ttyUSB7");
  port = u"unchanged";
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"CCC", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"AAA", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3000, u"nobody", port), 1);
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x3001, u"AAA", port), 1);
  EXPECT_EQ(port, u"unchanged");
}

// The port of a plugged-in receiver by its device's sysfs path, as its device events give it:
// receivers without serial numbers are each found on their own port.
TEST_F(ReceiverEnumeration, PortByTheDevicesSysfsPath) {
  Receiver("8-1", "3000", "", "ttyACM5");
  FakeSysfs::AddPortTty(sysfs.AddInterface(sysfs.AddDevice("8-2", "16d3", "0051"), "1.0"), "ttyUSB7");
  sysfs.AddDevice("8-3", "16d3", "0051");  // no interfaces at all
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("8-4", "0403", "6001"), "1.0"), "ttyUSB0");
  const auto at = [](const std::string& name) { return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + name; };
  const auto device = [](const std::string& path) {
    DeviceEvent event;
    event.sysPath = path;
    return event;
  };
  StringBuffer port = u"unchanged";
  EXPECT_EQ(CReceiverEnumerator::GetDevicePort(device(at("8-2")), port), 0);
  EXPECT_EQ(port, u"/dev/ttyUSB7");
  EXPECT_EQ(CReceiverEnumerator::GetDevicePort(device(at("8-1") + "/"), port), 0);
  EXPECT_EQ(port, u"/dev/ttyACM5");
  for (const std::string& path : {at("8-3"), at("8-4"), at("8-5"), at("8-1:1.0"), std::string("/"), std::string()})
    EXPECT_EQ(CReceiverEnumerator::GetDevicePort(device(path), port), 1) << path;
  EXPECT_EQ(port, u"/dev/ttyACM5");
  // What the enumeration hands over names the same device.
  const auto found = EnumerateAll();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_TRUE(SysfsUsb::SameDevice(UTF16to8(found[0].deviceInstanceId), at("8-1")));
  EXPECT_FALSE(SysfsUsb::SameDevice(UTF16to8(found[1].deviceInstanceId), at("8-1")));
}

}  // namespace

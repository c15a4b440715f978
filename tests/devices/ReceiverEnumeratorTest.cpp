#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FakeSysfs.h"
#include "devices/ReceiverEnumerator.h"
#include "platform/Registry.h"
#include "tests/protocol/LogCapture.h"

namespace {

namespace fs = std::filesystem;
using Voxlet::StringBuffer;
using Voxlet::UTF16to8;
using Voxlet::UTF8to16;

const char* const kSettingsKey = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";

// Each test gets its own sysfs tree and registry store.
class ReceiverEnumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    CReceiverEnumerator::SetSysfsRoot(sysfs.Root().string());
    registry = sysfs.Root() / "registry.ini";
    setenv("OVANTA_REGISTRY", registry.c_str(), 1);
  }
  void TearDown() override {
    CReceiverEnumerator::SetSysfsRoot("");
    unsetenv("OVANTA_REGISTRY");
  }

  // Every receiver handed over, in order, while the callback answers `goOn`.
  std::vector<SBConnectionInfo> EnumerateAll(CReceiverEnumerator& enumerator, bool goOn = true) {
    std::vector<SBConnectionInfo> found;
    EXPECT_EQ(enumerator.Enumerate([&](const SBConnectionInfo& info) {
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

  FakeSysfs sysfs;
  fs::path registry;
};

TEST_F(ReceiverEnumeration, SingleFunctionReceiverWithoutAPortIsSkipped) {
  sysfs.AddInterface(sysfs.AddDevice("1-1", "16d3", "3000", "NOPORT"), "1.0");
  const auto withPort = sysfs.AddDevice("1-2", "16d3", "3000", "HASPORT");
  FakeSysfs::AddClassTty(sysfs.AddInterface(withPort, "1.0"), "ttyACM3");
  CReceiverEnumerator enumerator;
  EXPECT_EQ(Ports(EnumerateAll(enumerator)), std::vector<std::string>{"/dev/ttyACM3"});
}

TEST_F(ReceiverEnumeration, CompositeReceiverIsFoundThroughItsFirstInterface) {
  const auto composite = sysfs.AddDevice("2-1", "16d3", "0051", "C0051");
  FakeSysfs::AddPortTty(sysfs.AddInterface(composite, "1.0"), "ttyUSB1");
  // A composite receiver whose only tty is on another interface has no port.
  const auto other = sysfs.AddDevice("2-2", "16d3", "0051", "C0052");
  sysfs.AddInterface(other, "1.0");
  FakeSysfs::AddClassTty(sysfs.AddInterface(other, "1.2"), "ttyACM9");
  CReceiverEnumerator enumerator;
  const auto found = EnumerateAll(enumerator);
  ASSERT_EQ(Ports(found), std::vector<std::string>{"/dev/ttyUSB1"});
  EXPECT_EQ(UTF16to8(found[0].serialNumber), "C0051");
}

TEST_F(ReceiverEnumeration, DescriptionIsFilledForACommPort) {
  const auto device = sysfs.AddDevice("3-1", "16D3", "3000", "SN42", "0102");
  FakeSysfs::AddClassTty(sysfs.AddInterface(device, "1.0"), "ttyACM0");
  CReceiverEnumerator enumerator;
  const auto found = EnumerateAll(enumerator);
  ASSERT_EQ(found.size(), 1u);
  const SBConnectionInfo& info = found[0];
  EXPECT_EQ(info.reserved, 0u);
  EXPECT_EQ(info.connectionKind, uint32_t{kConnectionCom});
  EXPECT_EQ(info.portName, u"/dev/ttyACM0");
  EXPECT_EQ(info.portName2, info.portName);
  EXPECT_EQ(fs::path(UTF16to8(info.deviceInstanceId)), fs::canonical(device));
  EXPECT_EQ(info.serialNumber, u"SN42");
  EXPECT_EQ(info.flagA, 1);
  EXPECT_EQ(info.flagB, 0);
  EXPECT_EQ(info.flagC, 1);
  EXPECT_EQ(info.deviceRevision, 0x0102);
  EXPECT_EQ(info.word3, 0);
  EXPECT_EQ(info.word4, 0);
  EXPECT_TRUE(info.extra.empty());
}

TEST_F(ReceiverEnumeration, RevisionComesFromBcdDevice) {
  const auto readable = sysfs.AddDevice("4-1", "16d3", "3000", "A", "0250");
  const auto missing = sysfs.AddDevice("4-2", "16d3", "3000", "B");
  const auto garbage = sysfs.AddDevice("4-3", "16d3", "3000", "C", "zz");
  for (const auto& device : {readable, missing, garbage})
    FakeSysfs::AddClassTty(device, "tty" + device.filename().string());
  CReceiverEnumerator enumerator;
  const auto found = EnumerateAll(enumerator);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].deviceRevision, 0x0250);
  EXPECT_EQ(found[1].deviceRevision, 0x0300);
  EXPECT_EQ(found[2].deviceRevision, 0);
  EXPECT_EQ(CReceiverEnumerator::GetVersionFromReceiverInfo((sysfs.Root() / "nowhere").string()), 0x0300);
}

TEST_F(ReceiverEnumeration, CallbackAnsweringFalseEndsTheWalk) {
  for (const char* name : {"5-1", "5-2", "5-3"})
    FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice(name, "16d3", "3000", name), "1.0"),
                           std::string("ttyACM") + name[2]);
  WriteRegistryString(0, kSettingsKey, "Ports", "/dev/pts/7", "com.vantrel.Preferences");
  CReceiverEnumerator enumerator;
  EXPECT_EQ(Ports(EnumerateAll(enumerator, false)), std::vector<std::string>{"/dev/ttyACM1"});
  EXPECT_EQ(EnumerateAll(enumerator, true).size(), 4u);
}

TEST_F(ReceiverEnumeration, OtherDevicesAndUnreadableIdsAreIgnored) {
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-1", "0403", "6001", "FTDI"), "1.0"), "ttyUSB0");
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-2", "16d3", "3001", "X"), "1.0"), "ttyACM1");
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-3", "vendor?", "3000", "Y"), "1.0"), "ttyACM2");
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("6-4", "16d3", "", "Z"), "1.0"), "ttyACM3");
  CReceiverEnumerator enumerator;
  EXPECT_TRUE(EnumerateAll(enumerator).empty());
}

TEST_F(ReceiverEnumeration, NoSysfsTreeFindsNothing) {
  CReceiverEnumerator::SetSysfsRoot((sysfs.Root() / "absent").string());
  CReceiverEnumerator enumerator;
  EXPECT_TRUE(EnumerateAll(enumerator).empty());
  EXPECT_EQ(enumerator.GetCount(), 0);
}

TEST_F(ReceiverEnumeration, ConfiguredPortsFollowTheUsbReceivers) {
  const auto device = sysfs.AddDevice("7-1", "16d3", "0051", "S1");
  FakeSysfs::AddClassTty(sysfs.AddInterface(device, "1.0"), "ttyACM0");
  ASSERT_TRUE(WriteRegistryString(0, kSettingsKey, "Ports", " /dev/pts/4 ;;/dev/ttyACM0;/dev/ttyS1;/dev/pts/4",
                                  "com.vantrel.Preferences"));
  CReceiverEnumerator enumerator;
  const auto found = EnumerateAll(enumerator);
  EXPECT_EQ(Ports(found), (std::vector<std::string>{"/dev/ttyACM0", "/dev/pts/4", "/dev/ttyS1"}));
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[1].deviceRevision, 0x0300);
  EXPECT_EQ(found[1].connectionKind, uint32_t{kConnectionCom});
  EXPECT_TRUE(found[1].serialNumber.empty());

  // The port list: first interfaces of the composite receivers, then the setting.
  ASSERT_EQ(enumerator.GetCount(), 3);
  StringBuffer path;
  EXPECT_EQ(enumerator.GetDevicePath(0, path), 0);
  EXPECT_EQ(path, u"/dev/ttyACM0");
  EXPECT_EQ(enumerator.GetDevicePath(2, path), 0);
  EXPECT_EQ(path, u"/dev/ttyS1");
  EXPECT_EQ(enumerator.GetDevicePath(3, path), 1);
  EXPECT_EQ(enumerator.GetDevicePath(-1, path), 1);
  EXPECT_EQ(path, u"/dev/ttyS1");
}

TEST_F(ReceiverEnumeration, PortsReadFromTheRegistryItselfAsWell) {
  ASSERT_TRUE(WriteRegistryString(0, kSettingsKey, "Ports", "/dev/pts/9", kRegistryStoreName));
  CReceiverEnumerator enumerator;
  EXPECT_EQ(Ports(EnumerateAll(enumerator)), std::vector<std::string>{"/dev/pts/9"});
}

TEST_F(ReceiverEnumeration, VirtualPortBySerialNumber) {
  FakeSysfs::AddClassTty(sysfs.AddInterface(sysfs.AddDevice("8-1", "16d3", "3000", "AAA"), "1.0"), "ttyACM5");
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

// The port look-up says where it looked, as milestones.
TEST_F(ReceiverEnumeration, VirtualPortLogsWhereItLookedAndWhatItRead) {
  const auto device = sysfs.AddDevice("9-1", "16d3", "0051", "LOGGED");
  FakeSysfs::AddPortTty(sysfs.AddInterface(device, "1.0"), "ttyUSB4");
  LogCapture log;
  StringBuffer port;
  EXPECT_EQ(CReceiverEnumerator::GetDeviceVirtualPort(0x16D3, 0x0051, u"LOGGED", port), 0);
  const std::vector<std::string> lines = log.Lines();
  const auto lineOf = [&lines](const std::string& text, bool whole) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& l) { return whole ? l == text : l.rfind(text, 0) == 0; }) -
           lines.begin();
  };
  const std::string devices = (sysfs.Root() / "bus/usb/devices").string();
  const auto deviceLine = lineOf("WE FOUND REG KEY " + devices + "/9-1", true);
  const auto interfaceLine = lineOf("WE FOUND REG KEY " + devices + "/9-1/9-1:1.0", false);
  const auto portLine = lineOf("WE READ PORT VALUE /dev/ttyUSB4", false);
  const auto none = static_cast<std::ptrdiff_t>(lines.size());
  EXPECT_NE(deviceLine, none);
  EXPECT_NE(interfaceLine, none);
  EXPECT_NE(portLine, none);
  EXPECT_LT(deviceLine, interfaceLine);
  EXPECT_LT(interfaceLine, portLine);
}

TEST(ReceiverRecognition, DevicePathsInAnyCase) {
  EXPECT_TRUE(CReceiverEnumerator::IsDeviceAReceiverDevice(u"\\\\?\\USB#VID_16D3&PID_3000#123#{guid}"));
  EXPECT_TRUE(CReceiverEnumerator::IsDeviceAReceiverDevice(u"\\\\?\\usb#vid_16d3&pid_0051#abc#{guid}"));
  EXPECT_TRUE(CReceiverEnumerator::IsDeviceAReceiverDevice(u"prefix vId_16d3&PiD_3000"));
  EXPECT_FALSE(CReceiverEnumerator::IsDeviceAReceiverDevice(u"\\\\?\\USB#VID_16D3&PID_3001#123#{guid}"));
  EXPECT_FALSE(CReceiverEnumerator::IsDeviceAReceiverDevice(u"\\\\?\\USB#VID_16D4&PID_3000#123#{guid}"));
  EXPECT_FALSE(CReceiverEnumerator::IsDeviceAReceiverDevice(u""));
}

TEST(ReceiverRecognition, VendorAndProductIds) {
  EXPECT_EQ(CReceiverEnumerator::IsRecognizedDevice(0x16D3, 0x3000), 0);
  EXPECT_EQ(CReceiverEnumerator::IsRecognizedDevice(0x16D3, 0x0051), 0);
  EXPECT_EQ(CReceiverEnumerator::IsRecognizedDevice(0x16D3, 0x0050), 1);
  EXPECT_EQ(CReceiverEnumerator::IsRecognizedDevice(0x0000, 0x0000), 1);
  EXPECT_EQ(CReceiverEnumerator::IsRecognizedDevice(0x3000, 0x16D3), 1);
}

TEST(ReceiverRecognition, SerialNumberIsTheLastInstanceIdComponent) {
  EXPECT_EQ(CReceiverEnumerator::GetReceiverSerialNumber(u"USB\\VID_16D3&PID_3000\\A1B2C3"), u"A1B2C3");
  EXPECT_EQ(CReceiverEnumerator::GetReceiverSerialNumber(u"A1B2C3"), u"A1B2C3");
  EXPECT_EQ(CReceiverEnumerator::GetReceiverSerialNumber(u"USB\\VID_16D3&PID_3000\\"), u"");
  EXPECT_EQ(CReceiverEnumerator::GetReceiverSerialNumber(u""), u"");
}

}  // namespace

#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Plain reads of the USB devices in a sysfs tree ("<root>/bus/usb/devices").
namespace SysfsUsb {

struct Device {
  std::filesystem::path directory;  // as listed, under the root
  std::string name;                 // e.g. "1-1.2"
  uint16_t vendorId = 0;            // 0 when "idVendor" is missing or does not parse
  uint16_t productId = 0;           // the same for "idProduct"
  std::string serial;               // "serial", empty when there is none
};

// The USB devices (not their interfaces), sorted by name.
std::vector<Device> ListDevices(const std::string& sysfsRoot);
// The USB device a sysfs path names, as a device event gives it ("/sys/devices/.../1-1.2") or
// as found under the root: read from "<root>/bus/usb/devices/<name>"; nothing when it is not
// there (any more).
std::optional<Device> FindDevice(const std::string& sysfsRoot, const std::string& devicePath);
// Whether two sysfs paths name the same USB device. A device's name (the last part of its
// path, e.g. "1-1.2": bus and port chain) is unique among the devices present, and compares
// whatever sysfs root or spelling either path was read under.
bool SameDevice(const std::string& devicePath, const std::string& otherPath);

// The first line of an attribute file, without the line end; nothing when unreadable.
std::optional<std::string> ReadAttribute(const std::filesystem::path& file);
// Up to four leading hexadecimal digits; nothing when there are none.
std::optional<uint16_t> ParseHex16(const std::string& text);

// The "/dev/..." node of the first tty found directly in a device or interface directory
// (a "tty/<name>" class entry or a "tty*" port directory); empty when there is none.
std::string TtyOf(const std::filesystem::path& directory);
// The interface directories "<name>:<config>.<interface>" of a device, sorted.
std::vector<std::filesystem::path> Interfaces(const Device& device);

}  // namespace SysfsUsb

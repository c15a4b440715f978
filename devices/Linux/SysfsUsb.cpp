#include "devices/Linux/SysfsUsb.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace fs = std::filesystem;

namespace SysfsUsb {
namespace {

std::vector<fs::path> SortedEntries(const fs::path& directory) {
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  std::sort(entries.begin(), entries.end());
  return entries;
}

bool IsDirectory(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

fs::path DevicesDirectory(const std::string& sysfsRoot) { return fs::path(sysfsRoot) / "bus" / "usb" / "devices"; }

// The last part of a path, trailing separators ignored.
std::string LastPart(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path.substr(path.rfind('/') + 1);  // all of it when there is no separator
}

// The device listed as `entry`; nothing for an interface or a missing entry.
std::optional<Device> ReadDevice(const fs::path& entry) {
  Device device;
  device.directory = entry;
  device.name = entry.filename().string();
  if (device.name.empty() || device.name.find(':') != std::string::npos || !IsDirectory(entry)) return std::nullopt;
  device.vendorId = ParseHex16(ReadAttribute(entry / "idVendor").value_or("")).value_or(0);
  device.productId = ParseHex16(ReadAttribute(entry / "idProduct").value_or("")).value_or(0);
  device.serial = ReadAttribute(entry / "serial").value_or("");
  return device;
}

}  // namespace

std::optional<std::string> ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::optional<uint16_t> ParseHex16(const std::string& text) {
  unsigned value = 0;
  size_t digits = 0;
  while (digits < 4 && digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits]))) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[digits])));
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::vector<Device> ListDevices(const std::string& sysfsRoot) {
  std::vector<Device> devices;
  for (const fs::path& entry : SortedEntries(DevicesDirectory(sysfsRoot)))
    if (auto device = ReadDevice(entry)) devices.push_back(std::move(*device));
  return devices;
}

std::optional<Device> FindDevice(const std::string& sysfsRoot, const std::string& devicePath) {
  const std::string name = LastPart(devicePath);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  return ReadDevice(DevicesDirectory(sysfsRoot) / name);
}

bool SameDevice(const std::string& devicePath, const std::string& otherPath) {
  const std::string name = LastPart(devicePath);
  return !name.empty() && name == LastPart(otherPath);
}

std::string TtyOf(const fs::path& directory) {
  for (const fs::path& tty : SortedEntries(directory / "tty"))
    if (!tty.filename().empty()) return "/dev/" + tty.filename().string();
  for (const fs::path& entry : SortedEntries(directory)) {
    const std::string name = entry.filename().string();
    if (name.size() > 3 && name.compare(0, 3, "tty") == 0 && IsDirectory(entry)) return "/dev/" + name;
  }
  return "";
}

std::vector<fs::path> Interfaces(const Device& device) {
  std::vector<fs::path> interfaces;
  for (const fs::path& entry : SortedEntries(device.directory))
    if (entry.filename().string().rfind(device.name + ":", 0) == 0 && IsDirectory(entry)) interfaces.push_back(entry);
  return interfaces;
}

}  // namespace SysfsUsb

#include "devices/SysfsUsb.h"

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
  for (const fs::path& entry : SortedEntries(fs::path(sysfsRoot) / "bus" / "usb" / "devices")) {
    Device device;
    device.directory = entry;
    device.name = entry.filename().string();
    if (device.name.find(':') != std::string::npos || !IsDirectory(entry)) continue;  // an interface
    device.vendorId = ParseHex16(ReadAttribute(entry / "idVendor").value_or("")).value_or(0);
    device.productId = ParseHex16(ReadAttribute(entry / "idProduct").value_or("")).value_or(0);
    device.serial = ReadAttribute(entry / "serial").value_or("");
    devices.push_back(std::move(device));
  }
  return devices;
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

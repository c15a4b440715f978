#include <cstdio>
#include <vector>

#include "service/ServiceEvents.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The last four characters of an id part ("VID_16D3") read as hex; 0 when they do not parse.
uint16_t IdOf(const std::string& part) {
  const std::string digits = "0x" + part.substr(part.size() < 4 ? 0 : part.size() - 4);
  unsigned value = 0;
  if (std::sscanf(digits.c_str(), "0x%x", &value) != 1) return 0;
  return static_cast<uint16_t>(value);
}

}  // namespace

DeviceEvent DeviceEventFromPath(DeviceAction action, DeviceType type, const std::string& path) {
  DeviceEvent event;
  event.action = action;
  event.type = type;
  event.sysPath = path;
  const std::vector<std::string> parts = Split(path, '#');
  if (parts.size() < 3) return event;
  const std::vector<std::string> ids = Split(parts[1], '&');
  if (ids.size() < 2) return event;
  event.vendorId = IdOf(ids[0]);
  event.productId = IdOf(ids[1]);
  event.serial = parts[2];
  return event;
}

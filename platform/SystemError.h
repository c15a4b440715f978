#pragma once
#include <cerrno>
#include <cstring>
#include <string>

namespace Platform {

// "<step> <path>: <the system's reason>", from errno as the failed call left it.
inline std::string SystemCallFailed(const char* step, const std::string& path) {
  const char* reason = std::strerror(errno);
  std::string text(step);
  text.append(" ").append(path).append(": ").append(reason);
  return text;
}

}  // namespace Platform

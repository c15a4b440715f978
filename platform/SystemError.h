#pragma once
#include <cerrno>
#include <cstring>
#include <string>

namespace Platform {

// "<step> <path>: <the system's reason>", from errno as the failed call left it.
inline std::string SystemCallFailed(const char* step, const std::string& path) {
  return std::string(step) + " " + path + ": " + std::strerror(errno);
}

}  // namespace Platform

#pragma once
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace Platform {

// "<step> <path>: <the system's reason>", from errno as the failed call left it.
inline std::string SystemCallFailed(const char* step, const std::string& path) {
  const char* reason = std::strerror(errno);
  std::string text(step);
  text.append(" ").append(path).append(": ").append(reason);
  return text;
}

// An errno value as an error code (errno's numbers are the generic category's on every
// platform).
inline std::error_code ErrnoError(int error) { return {error, std::generic_category()}; }

}  // namespace Platform

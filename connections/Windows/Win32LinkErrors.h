#pragma once
#include <windows.h>

#include <cstdint>
#include <system_error>

#include "connections/LinkResult.h"
#include "platform/ErrorCodes.h"

// What the Win32 errors of a serial device mean to a link.
namespace Win32LinkErrors {

// An open's error as a LinkResult: not present (no such device, or a path that leads nowhere:
// ERROR_PATH_NOT_FOUND is 3 and must not pass through as "in use"), in use (held by another
// program), or the error itself.
inline uint32_t OpenResult(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return LinkResult::kSuccess;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
      return LinkResult::kNotPresent;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return LinkResult::kInUse;
    default:
      return static_cast<uint32_t>(error);
  }
}

// A step after the device opened that failed with `error` (GetLastError's): that error, or, for
// a step that failed without one, a device that cannot carry the link (never "success").
inline std::error_code OpenFailure(DWORD error) {
  if (error == ERROR_SUCCESS) return Platform::Error::kNotALinkDevice;
  return {static_cast<int>(error), std::system_category()};
}

// Errors of reads and writes on a device that has gone: a USB serial port pulled out (access
// denied, bad command, general failure, not connected), and a pseudo-terminal whose other end
// closed under Wine (broken pipe on the pending read, not ready afterwards).
inline bool DeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

}  // namespace Win32LinkErrors

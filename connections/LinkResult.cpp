#include "connections/LinkResult.h"

#include <cerrno>

#include "platform/ErrorCodes.h"

uint32_t LinkResult::FromError(const std::error_code& error) {
  if (!error) return kSuccess;
  if (error.category() == Platform::ErrorCategory()) {
    switch (static_cast<Platform::Error>(error.value())) {
      case Platform::Error::kNotPresent:
        return kNotPresent;
      case Platform::Error::kInUse:
        return kInUse;
      case Platform::Error::kAlreadyOpen:
        return kAlreadyOpen;
      case Platform::Error::kNotALinkDevice:
        return kNotALinkDevice;
    }
    return kNotALinkDevice;
  }
  if (error.category() == std::generic_category()) return FromErrno(error.value());
  return FromSystemError(error.value());
}

uint32_t LinkResult::FromErrno(int error) {
  switch (error) {
    case 0:
      return kSuccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ESRCH:  // nothing there to answer; its number (3) would read as "in use"
      return kNotPresent;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK:
      return kInUse;
    case ETIMEDOUT:
      return kTimedOut;
    case ENOTTY:
      return kNotALinkDevice;
    default:
      return static_cast<uint32_t>(error) == kAlreadyOpen ? kDeviceFailed : static_cast<uint32_t>(error);
  }
}

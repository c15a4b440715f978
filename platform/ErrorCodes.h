#pragma once
#include <system_error>

// How the service's own classes say that something failed: a std::error_code. A system call's
// failure keeps the system's number (std::system_category(): errno on Linux, GetLastError's on
// Windows; std::generic_category() for errno values named portably); a failure the service
// itself finds, where no call gave a reason, is one of these, in the "ovanta" category.
// Interfaces whose callers expect numbers of their own (the link's open codes) convert at
// that interface only.
namespace Platform {

enum class Error {
  kNotPresent = 1,  // the device named is not there
  kInUse,           // another program, or another name on this link, holds it
  kAlreadyOpen,     // this link holds it already
  kNotALinkDevice,  // it opens, but cannot carry a link of its kind (no tty, no line coding,
                    // no input reports)
};

const std::error_category& ErrorCategory();
std::error_code make_error_code(Error error);

}  // namespace Platform

template <>
struct std::is_error_code_enum<Platform::Error> : std::true_type {};

#pragma once
#include <cstdint>
#include <system_error>

// The codes ISBConnection::Open answers: Win32's numbering, as the receiver and its callers
// read it (status 2 "device not present", 3 "device in use", other failures logged by number).
// The links report an open's failure as a std::error_code; it becomes one of these only there.
namespace LinkResult {

constexpr uint32_t kSuccess = 0;
constexpr uint32_t kNotALinkDevice = 1;  // "incorrect function": no serial line, no reports
constexpr uint32_t kNotPresent = 2;
constexpr uint32_t kInUse = 3;  // held by another program
constexpr uint32_t kAlreadyOpen = 110;
// A time-out (Win32's "timeout period expired"). Linux's own number for it, 110, is the code
// for "already open".
constexpr uint32_t kTimedOut = 1460;
// A failure whose own number means something else here ("a device is not functioning").
constexpr uint32_t kDeviceFailed = 31;

// The open code of an open's result. Errors of the system's category are the platform's own
// (errno on Linux, GetLastError's on Windows); errno values (the generic category) are mapped
// as on Linux. A system error without a meaning of its own here passes through by number.
uint32_t FromError(const std::error_code& error);

// An errno value from opening a device, mapped: no such device is "not present", a device
// that is locked or refused is "in use", a time-out kTimedOut; others pass through, but for a
// number that is one of the codes above (110 is another error in another C library's errno).
uint32_t FromErrno(int error);

// An error of the system's category, by this platform's numbering (each platform's backend).
uint32_t FromSystemError(int error);

}  // namespace LinkResult

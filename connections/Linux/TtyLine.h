#pragma once
#include <termios.h>

#include <cstdint>

#include "connections/LineSettings.h"

// Conversions between the receiver's line settings and a tty's termios.
namespace TtyLine {

// Raw mode with the given settings, receiver on, modem lines ignored. False for a baud rate
// or byte size the tty cannot take.
bool Apply(const LineSettings& settings, termios* tio);
// The settings a termios describes (baud rate 0 when it is not a standard rate).
LineSettings Read(const termios& tio);

speed_t SpeedOf(uint32_t baudRate);  // B0 when not a standard rate
uint32_t BaudOf(speed_t speed);

// How long closing a tty may wait for output its device has not taken yet, in hundredths of a
// second (a USB tty's driver waits up to 30 s by default). kNoClosingWait: not at all.
inline constexpr unsigned short kNoClosingWait = 65535;  // the kernel's ASYNC_CLOSING_WAIT_NONE
// Sets it where the driver keeps one (USB-serial, cdc-acm; changing it takes CAP_SYS_ADMIN);
// false where it cannot (a pseudo-terminal has none). It stays with the tty after the close.
bool SetClosingWait(int fd, unsigned short centiseconds);

}  // namespace TtyLine

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

}  // namespace TtyLine

#pragma once
#include <array>
#include <cstdint>

#include "connections/LineSettings.h"

// The words a USB-serial bridge's driver takes for its line: the line coding of the USB
// communications class (8 bytes: baud rate 32-bit little-endian, stop bits, parity, data bits,
// a spare byte), the control-line word and the modem status.
namespace ProlificLine {

using Coding = std::array<uint8_t, 8>;

// Whether a setting can be carried: a baud rate, 5 to 8 data bits, parity 0 to 4, stop bits
// 0 to 2 (the receiver's codes are the line coding's).
bool Valid(const LineSettings& settings);
// The setting written into a coding read from the driver (its spare byte kept).
void Apply(const LineSettings& settings, Coding& coding);
LineSettings Read(const Coding& coding);

// The control-line word: bit 0 DTR, bit 1 RTS.
constexpr uint16_t kDtr = 0x1;
constexpr uint16_t kRts = 0x2;
// Applies an EscapeCommFunction code (SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6) to the word;
// false for any other code (the word stays).
bool ApplyEscape(uint32_t function, uint16_t& word);

// The modem status the driver reports (its first byte) in GetCommModemStatus's bits:
// 0x80 is CTS (0x10), 0x02 DSR (0x20), 0x08 RING (0x40).
uint32_t ModemStatus(uint8_t driverStatus);

}  // namespace ProlificLine

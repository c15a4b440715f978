#include "connections/ProlificLine.h"

namespace ProlificLine {

bool Valid(const LineSettings& s) {
  return s.baudRate != 0 && s.byteSize >= 5 && s.byteSize <= 8 && s.parity <= 4 && s.stopBits <= 2;
}

void Apply(const LineSettings& s, Coding& coding) {
  for (int i = 0; i < 4; ++i) coding[i] = static_cast<uint8_t>(s.baudRate >> (8 * i));
  coding[4] = s.stopBits;
  coding[5] = s.parity;
  coding[6] = s.byteSize;
}

LineSettings Read(const Coding& coding) {
  uint32_t baud = 0;
  for (int i = 0; i < 4; ++i) baud |= static_cast<uint32_t>(coding[i]) << (8 * i);
  return LineSettings{baud, coding[6], coding[5], coding[4]};
}

bool ApplyEscape(uint32_t function, uint16_t& word) {
  switch (function) {
    case 3:  // SETRTS
      word |= kRts;
      return true;
    case 4:  // CLRRTS
      word &= static_cast<uint16_t>(~kRts);
      return true;
    case 5:  // SETDTR
      word |= kDtr;
      return true;
    case 6:  // CLRDTR
      word &= static_cast<uint16_t>(~kDtr);
      return true;
    default:
      return false;
  }
}

uint32_t ModemStatus(uint8_t driverStatus) {
  uint32_t status = 0;
  if (driverStatus & 0x80) status |= 0x10;  // CTS
  if (driverStatus & 0x02) status |= 0x20;  // DSR
  if (driverStatus & 0x08) status |= 0x40;  // RING
  return status;
}

}  // namespace ProlificLine

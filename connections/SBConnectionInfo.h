#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

// Link kinds of a receiver connection.
enum SBConnectionKind : uint32_t {
  kConnectionCom = 1,       // serial port (a tty)
  kConnectionProlific = 2,  // Prolific USB-to-serial bridge
  kConnectionHid = 3,       // HID device (hidraw)
  kConnectionCameraA = 6,
  kConnectionCameraB = 7,
};

// Description of a found receiver, from which its connection is built.
struct SBConnectionInfo {
  uint32_t reserved = 0;
  uint32_t connectionKind = kConnectionCom;
  Voxlet::StringBuffer portName;          // a tty path on Linux, e.g. /dev/ttyACM0
  Voxlet::StringBuffer deviceInstanceId;  // the device's sysfs path on Linux
  Voxlet::StringBuffer portName2;         // same as portName
  Voxlet::StringBuffer serialNumber;
  uint8_t flagA = 1;
  uint8_t flagB = 0;
  uint8_t flagC = 1;
  uint16_t deviceRevision = 0;
  uint16_t word2 = 0;
  uint16_t word3 = 0;
  uint16_t word4 = 0;
  Voxlet::StringBuffer extra;
};

#pragma once
#include <cstddef>
#include <cstdint>

// Report lengths of a HID device, as the device's report descriptor defines them: the
// longest report of each kind in bytes, the report id byte included (as the HID class
// reports them). 0 when the device has no report of that kind.
struct HidReportLengths {
  uint16_t input = 0;
  uint16_t output = 0;
  uint16_t feature = 0;
  bool numbered = false;  // the device uses report ids
};

HidReportLengths ParseReportDescriptor(const uint8_t* descriptor, size_t length);

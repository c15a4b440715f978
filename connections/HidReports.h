#pragma once
#include <cstddef>
#include <cstdint>

#include "connections/HidReportDescriptor.h"
#include "connections/SBIOPacket.h"

// Which reports pass a HID link: whole reports of the device's lengths only, each stored with
// its report id first.
namespace HidReports {

// The HID product id whose input reports carry two trailing bytes that are not data (decimal
// 3000, not the receiver's product id 0x3000).
constexpr uint16_t kTrimmedProductId = 3000;
// A write of another length than the report's fails with this (ERROR_INSUFFICIENT_BUFFER).
constexpr uint32_t kWrongLength = 122;

// The bytes of a read of `got` bytes that become a received packet: 0 (dropped) unless it is
// a whole input report; without the two trailing bytes for product 3000.
size_t ReceivedLength(size_t got, const HidReportLengths& lengths, uint16_t productId);
// 0 when the packet goes out as it is: flag clear, an output report of exactly the output
// length; flag set, a feature report of exactly the feature length. kWrongLength otherwise.
uint32_t CheckOutgoing(const CSBIOPacket& packet, const HidReportLengths& lengths);

}  // namespace HidReports

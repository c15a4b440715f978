#pragma once
#include <functional>
#include <string>
#include <vector>

#include "connections/SBConnectionInfo.h"
#include "text/StringBuffer.h"

// The receivers on USB as this platform finds them (sysfs on Linux, SetupAPI on Windows): the
// enumerator's platform half.
namespace UsbReceivers {

// Hands each receiver plugged in, with its port, to found until it answers false; false then.
bool Walk(const std::function<bool(const SBConnectionInfo& info)>& found);
// The ports of the composite receivers' serial functions (their first interfaces).
std::vector<Voxlet::StringBuffer> CompositePorts();

}  // namespace UsbReceivers

// The description of a serial receiver as the enumerator hands it over.
SBConnectionInfo DescribeReceiverPort(const Voxlet::StringBuffer& port, const Voxlet::StringBuffer& instanceId,
                                      const Voxlet::StringBuffer& serial, uint16_t revision);

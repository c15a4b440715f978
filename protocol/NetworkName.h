#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

// The network (class) name a receiver announces: the classroom name ("Voxlet" when empty),
// printable ASCII only, 8 characters; with more than one receiver connected, 6 characters
// padded with blanks, "(" and the receiver's digit.
std::string BuildNetworkName(const Voxlet::StringBuffer& classroomName, uint32_t receiverNumber,
                             uint32_t connectedReceivers);

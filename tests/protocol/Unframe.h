#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#include "protocol/Frame.h"

using Bytes = std::vector<uint8_t>;

// The packets of every whole frame in the bytes (checksums dropped).
inline std::vector<Bytes> UnframeAll(const Bytes& stream) {
  std::vector<Bytes> packets;
  for (auto from = stream.begin(), to = from; (to = std::find(from, stream.end(), 0)) != stream.end(); from = to + 1) {
    Bytes packet(static_cast<size_t>(to - from) + 1);
    packet.resize(ReceiverFrame::Decode(&*from, packet.size(), packet.data()).length);
    packets.push_back(packet);
  }
  return packets;
}

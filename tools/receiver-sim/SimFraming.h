#pragma once
#include <cstdint>
#include <optional>
#include <vector>

// The simulator's own framing, written apart from the service's so that a fault in one shows
// against the other: standard COBS over the packet and its XOR checksum, 0x00 after it.
namespace SimFraming {

std::vector<uint8_t> Frame(const std::vector<uint8_t>& packet);
// The packet of one frame given without its delimiter; nothing when the stuffing or the
// checksum is wrong.
std::optional<std::vector<uint8_t>> Unframe(const std::vector<uint8_t>& stuffed);

}  // namespace SimFraming

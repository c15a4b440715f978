#pragma once
#include <array>
#include <cstdint>

// 16 bytes that name a kind of server; sent raw to every new connection and carried by the
// discovery datagrams.
using ServerIdentifier = std::array<uint8_t, 16>;

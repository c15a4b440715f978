#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "connections/SBConnectionInfo.h"
#include "connections/SBIOPacket.h"

// Small builders the link tests share.
using Bytes = std::vector<uint8_t>;

inline std::unique_ptr<CSBIOPacket> Block(const Bytes& bytes, uint8_t flag = 0, bool raw = false) {
  auto packet = std::make_unique<CSBIOPacket>(bytes.data(), static_cast<uint32_t>(bytes.size()), raw);
  packet->m_flag = flag;
  return packet;
}

inline SBConnectionInfo LinkInfo(const std::string& path, uint32_t kind = kConnectionCom) {
  SBConnectionInfo info;
  info.connectionKind = kind;
  info.portName = Voxlet::UTF8to16(path);
  return info;
}

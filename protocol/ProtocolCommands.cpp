// The receiver commands: one packet each, queued on the send queue.
#include <array>
#include <vector>

#include "protocol/CommandIds.h"
#include "protocol/ReceiverProtocolHandler.h"

namespace {

uint8_t High(uint16_t value) { return static_cast<uint8_t>(value >> 8); }
uint8_t Low(uint16_t value) { return static_cast<uint8_t>(value); }

// Scan durations between 15 and 254 are out of the receiver's range: 14 is the longest.
uint8_t ScanDuration(uint8_t duration) { return duration >= 15 && duration <= 254 ? 14 : duration; }

}  // namespace

using namespace ReceiverCommand;

void CReceiverProtocolHandler::QueueBytes(std::initializer_list<uint8_t> bytes, Delivery delivery) {
  QueuePacket(static_cast<int32_t>(bytes.size()), bytes.begin(), delivery);
}

void CReceiverProtocolHandler::QueryFirmwareInfo() { QueueBytes({0x00, 0x00, kFwInfoQuery}, Delivery::kRetry); }

std::array<uint8_t, 4> CReceiverProtocolHandler::NetworkStatePacket(NetworkState state) {
  return {0x00, 0x00, kNetworkState, static_cast<uint8_t>(state)};
}

void CReceiverProtocolHandler::SetNetworkState(NetworkState state, Delivery delivery) {
  const std::array<uint8_t, 4> packet = NetworkStatePacket(state);
  QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), delivery);
}

void CReceiverProtocolHandler::ReplyNetworkState(uint16_t address) {
  QueueBytes({High(address), Low(address), kNetworkState}, Delivery::kRetry);
}

void CReceiverProtocolHandler::SetClassName(const std::string& name) {
  uint8_t packet[11] = {0x00, 0x00, kClassName};
  for (size_t i = 0; i < 8 && i < name.size(); ++i) packet[3 + i] = static_cast<uint8_t>(name[i]);
  QueuePacket(sizeof packet, packet, Delivery::kRetry);
}

void CReceiverProtocolHandler::SetLoginRequirement(LoginFlags flags) {
  const uint8_t bits = (flags.loginRequired ? 1 : 0) | (flags.loginTrigger ? 2 : 0) | (flags.teamTrigger ? 4 : 0);
  QueueBytes({0x00, 0x00, kLoginRequirement, bits}, Delivery::kRetry);
}

void CReceiverProtocolHandler::QueryLoginRequirement() {
  QueueBytes({0x00, 0x00, kLoginRequirement}, Delivery::kRetry);
}

void CReceiverProtocolHandler::SendLoginGrant(uint16_t address, bool grant, const Voxlet::StringBuffer& studentName) {
  // The name runs to its terminator. A name of exactly 26 characters goes out with an
  // underscore as its 27th; names are cut at 32.
  size_t k = 0;
  while (k < studentName.size() && studentName[k] != 0) ++k;
  const bool underscore = k == 26;
  if (underscore) k = 27;
  if (k > 32) k = 32;
  std::vector<uint8_t> packet = {High(address), Low(address), kLoginGrant, static_cast<uint8_t>(grant ? 1 : 0)};
  for (size_t i = 0; i < k; ++i) {
    if (underscore && i == 26) {
      packet.push_back(0x5F);
      continue;
    }
    const char16_t c = studentName[i];
    packet.push_back(c <= 0xFF ? static_cast<uint8_t>(c) : 0x3F);
  }
  // The clicker waits for its answer: it passes the pauses of a timed sequence.
  QueuePacket(static_cast<int32_t>(packet.size()), packet.data(), Delivery::kReply);
}

void CReceiverProtocolHandler::SendLoginGrantReply(uint16_t address) {
  QueueBytes({High(address), Low(address), kLoginGrant}, Delivery::kReply);
}

void CReceiverProtocolHandler::SendLoginOff(uint16_t address) {
  QueueBytes({High(address), Low(address), kLoginOff}, Delivery::kOnce);
}

void CReceiverProtocolHandler::SendHandUpReply(uint16_t address) {
  QueueBytes({High(address), Low(address), kHandUp, 0x01}, Delivery::kRetry);
}

void CReceiverProtocolHandler::SetChannel(uint8_t channelIndex) {
  QueueBytes({0x00, 0x00, kChannel, static_cast<uint8_t>(channelIndex & 0x0F)}, Delivery::kRetry);
}

void CReceiverProtocolHandler::SendSessionEnd(uint16_t address, SessionEndMode mode, Delivery delivery) {
  QueueBytes({High(address), Low(address), kSessionEnd, static_cast<uint8_t>(static_cast<uint8_t>(mode) & 3)},
             delivery);
}

void CReceiverProtocolHandler::QueryScanResults(uint16_t channelMask) {
  QueueBytes({0x00, 0x00, kScanResults, High(channelMask), Low(channelMask)}, Delivery::kOnce);
}

void CReceiverProtocolHandler::QueryMacAddress() { QueueBytes({0x00, 0x00, kPropertyQuery, 0x00}, Delivery::kRetry); }

void CReceiverProtocolHandler::StartBackgroundScan(uint16_t channelMask, uint8_t activeDuration,
                                                   uint8_t energyDuration) {
  QueueBytes({0x00, 0x00, kBackgroundScan, High(channelMask), Low(channelMask), ScanDuration(activeDuration),
              ScanDuration(energyDuration)},
             Delivery::kOnce);
}

void CReceiverProtocolHandler::QueryProductCode() { QueueBytes({0x00, 0x00, kProductCodeQuery}, Delivery::kOnce); }

#pragma once
#include <cstdint>

// Command ids: byte 2 of every receiver packet.
namespace ReceiverCommand {
constexpr uint8_t kFwInfoQuery = 0x00;
constexpr uint8_t kDeviceStatus = 0x01;
constexpr uint8_t kTransmitPower = 0x02;
constexpr uint8_t kPanId = 0x03;
constexpr uint8_t kNetworkState = 0x04;
constexpr uint8_t kClassName = 0x05;
constexpr uint8_t kLoginRequirement = 0x06;
constexpr uint8_t kJoinLoginResponse = 0x07;
constexpr uint8_t kLoginGrant = 0x08;
constexpr uint8_t kLoginOff = 0x09;
constexpr uint8_t kQuestionBatch = 0x0A;
constexpr uint8_t kAnswerUpload = 0x0B;
constexpr uint8_t kHandUp = 0x0C;
constexpr uint8_t kChannel = 0x0D;
constexpr uint8_t kSessionEnd = 0x0E;
constexpr uint8_t kSelectTeam = 0x0F;
constexpr uint8_t kStartGame = 0x10;
constexpr uint8_t kScanResults = 0x11;
constexpr uint8_t kLoginGrantConfirm = 0x14;
constexpr uint8_t kDeviceDisassociated = 0x15;
constexpr uint8_t kPropertyQuery = 0x16;
constexpr uint8_t kBackgroundScan = 0x17;
constexpr uint8_t kEnhancedAnswerUpload = 0x25;
constexpr uint8_t kBroadcastData = 0x26;
constexpr uint8_t kStudentResults = 0x27;
constexpr uint8_t kProductCodeQuery = 0x2A;
constexpr uint8_t kReceiverPrintf = 0xFD;
constexpr uint8_t kNack = 0xFF;
constexpr uint8_t kAckFlag = 0x80;
}  // namespace ReceiverCommand

// Addresses of the packet header.
constexpr uint16_t kAddressReceiver = 0;
constexpr uint16_t kAddressAllClickers = 0xFFFF;

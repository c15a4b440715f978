#pragma once
#include <gmock/gmock.h>

#include <mutex>
#include <vector>

#include "protocol/Frame.h"
#include "protocol/NullReceiverCommands.h"

// A receiver whose handlers are mocks and whose link is a list of written frames.
class FakeReceiver : public CNullReceiverCommands {
 public:
  // Out of line, in one file: the mocks' constructors and destructors are then compiled once,
  // not in every test file.
  FakeReceiver();
  ~FakeReceiver() override;

  void SendBytes(const uint8_t* bytes, uint32_t length) override {
    std::lock_guard<std::mutex> guard(lock);
    frames.emplace_back(bytes, bytes + length);
  }
  void GetName(Voxlet::StringBuffer& name) override { name = u"/dev/ttyTEST"; }

  std::vector<std::vector<uint8_t>> Frames() {
    std::lock_guard<std::mutex> guard(lock);
    return frames;
  }

  MOCK_METHOD(void, OnFirmwareInfo, (uint8_t, uint8_t, uint8_t, uint16_t), (override));
  MOCK_METHOD(void, OnPropertyQueryMacAddr, (uint32_t, uint32_t), (override));
  MOCK_METHOD(void, OnReceiverStatus, (uint8_t), (override));
  MOCK_METHOD(void, OnClickerStatus, (uint16_t, uint8_t, uint8_t), (override));
  MOCK_METHOD(void, OnTransmitPower, (uint16_t, uint8_t), (override));
  MOCK_METHOD(void, OnPanId, (uint16_t, uint16_t), (override));
  MOCK_METHOD(void, OnClassName, (uint16_t, const Voxlet::StringBuffer&), (override));
  MOCK_METHOD(void, OnLoginRequirement, (uint16_t, bool, bool, bool), (override));
  MOCK_METHOD(void, OnJoinLoginRequired, (uint16_t, uint32_t, uint32_t, const Voxlet::StringBuffer&, bool), (override));
  MOCK_METHOD(void, OnJoinNoLoginRequired, (uint16_t, uint32_t, uint32_t), (override));
  MOCK_METHOD(void, OnLoginGrant, (uint16_t, const Voxlet::StringBuffer&, bool, bool), (override));
  MOCK_METHOD(void, OnLoginOff, (uint16_t), (override));
  MOCK_METHOD(void, OnHandUp, (uint16_t, bool), (override));
  MOCK_METHOD(void, OnChannel, (uint16_t, uint8_t), (override));
  MOCK_METHOD(void, OnSelectTeam, (uint16_t, uint8_t), (override));
  MOCK_METHOD(void, OnStartGame, (uint16_t, uint8_t), (override));
  MOCK_METHOD(void, OnScanResults, (uint16_t, uint16_t, const ChannelScanResultsArray&), (override));
  MOCK_METHOD(void, OnAnswerUpload, (uint16_t, uint8_t, const std::vector<uint8_t>&), (override));
  MOCK_METHOD(void, OnEnhancedAnswerUpload, (uint16_t, uint8_t, uint8_t, uint8_t, uint8_t, const uint8_t*, uint32_t),
              (override));
  MOCK_METHOD(void, OnDeviceDisassociated, (uint16_t), (override));
  MOCK_METHOD(void, OnLoginGrantConfirm, (uint16_t, bool), (override));
  MOCK_METHOD(void, OnSessionEndRemote, (uint16_t), (override));
  MOCK_METHOD(void, OnCommandNacked, (uint8_t), (override));
  MOCK_METHOD(void, OnNetworkState, (bool), (override));
  MOCK_METHOD(void, OnReceiverPrintf, (uint16_t, const Voxlet::StringBuffer&), (override));
  MOCK_METHOD(void, OnProductCode, (uint8_t), (override));

 private:
  std::mutex lock;
  std::vector<std::vector<uint8_t>> frames;
};

using Bytes = std::vector<uint8_t>;

inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The frame of a packet, as the service's encoder writes it.
inline Bytes Frame(const Bytes& packet) {
  Bytes out(packet.size() + 3);
  out.resize(ReceiverFrame::Encode(packet.data(), packet.size(), out.data()));
  return out;
}

#pragma once
// A receiver whose every command and handler does nothing: the base of the stand-in receivers
// (benchmarks, fuzz seeds, tests), which override only what they keep or check.
#include "protocol/ReceiverCommands.h"

class CNullReceiverCommands : public IReceiverCommands {
 public:
  void SendBytes(const uint8_t*, uint32_t) override {}
  void LogReceived(const uint8_t*, uint32_t) override {}
  void GetName(Voxlet::StringBuffer&) override {}

  void OnFirmwareInfo(uint8_t, uint8_t, uint8_t, uint16_t) override {}
  void OnPropertyQueryMacAddr(uint32_t, uint32_t) override {}
  void OnReceiverStatus(uint8_t) override {}
  void OnClickerStatus(uint16_t, uint8_t, uint8_t) override {}
  void OnTransmitPower(uint16_t, uint8_t) override {}
  void OnPanId(uint16_t, uint16_t) override {}
  void OnClassName(uint16_t, const Voxlet::StringBuffer&) override {}
  void OnLoginRequirement(uint16_t, bool, bool, bool) override {}
  void OnJoinLoginRequired(uint16_t, uint32_t, uint32_t, const Voxlet::StringBuffer&, bool) override {}
  void OnJoinNoLoginRequired(uint16_t, uint32_t, uint32_t) override {}
  void OnLoginGrant(uint16_t, const Voxlet::StringBuffer&, bool, bool) override {}
  void OnLoginOff(uint16_t) override {}
  void OnHandUp(uint16_t, bool) override {}
  void OnChannel(uint16_t, uint8_t) override {}
  void OnSelectTeam(uint16_t, uint8_t) override {}
  void OnStartGame(uint16_t, uint8_t) override {}
  void OnScanResults(uint16_t, uint16_t, const ChannelScanResultsArray&) override {}
  void OnAnswerUpload(uint16_t, uint8_t, const std::vector<uint8_t>&) override {}
  void OnEnhancedAnswerUpload(uint16_t, uint8_t, uint8_t, uint8_t, uint8_t, const uint8_t*, uint32_t) override {}
  void OnDeviceDisassociated(uint16_t) override {}
  void OnLoginGrantConfirm(uint16_t, bool) override {}
  void OnSessionEndRemote(uint16_t) override {}
  void OnCommandNacked(uint8_t) override {}
  void OnNetworkState(bool) override {}
  void OnReceiverPrintf(uint16_t, const Voxlet::StringBuffer&) override {}
  void OnProductCode(uint8_t) override {}
};

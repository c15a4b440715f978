#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "text/StringBuffer.h"

// One scanned channel of a SCAN_RESULTS packet.
class CChannelScanResults {
 public:
  CChannelScanResults() = default;
  CChannelScanResults(uint16_t panId, uint8_t energy) : m_panId(panId), m_energy(energy) {}
  virtual ~CChannelScanResults() = default;

  uint16_t m_panId = 0;
  uint8_t m_energy = 0;
};
using ChannelScanResultsArray = std::shared_ptr<std::vector<CChannelScanResults>>;

// The receiver as its protocol handler sees it: byte sending, naming and logging, and one
// handler per incoming packet kind. Handlers run on the handler's dispatcher thread.
class IReceiverCommands {
 public:
  virtual ~IReceiverCommands() = default;
  virtual void SendBytes(const uint8_t* bytes, uint32_t length) = 0;
  virtual void LogReceived(const uint8_t* bytes, uint32_t length) = 0;
  virtual void GetName(Voxlet::StringBuffer& name) = 0;

  virtual void OnFirmwareInfo(uint8_t major, uint8_t minor, uint8_t build, uint16_t checksum) = 0;
  virtual void OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) = 0;
  virtual void OnReceiverStatus(uint8_t networkStatus) = 0;
  virtual void OnClickerStatus(uint16_t address, uint8_t batteryFlag, uint8_t linkQuality) = 0;
  virtual void OnTransmitPower(uint16_t address, uint8_t paLevel) = 0;
  virtual void OnPanId(uint16_t address, uint16_t panId) = 0;
  virtual void OnClassName(uint16_t address, const Voxlet::StringBuffer& name) = 0;
  virtual void OnLoginRequirement(uint16_t address, bool loginRequired, bool loginTrigger, bool teamTrigger) = 0;
  virtual void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                   const Voxlet::StringBuffer& studentId, bool autoLogin) = 0;
  virtual void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) = 0;
  virtual void OnLoginGrant(uint16_t address, const Voxlet::StringBuffer& studentName, bool loginGrant,
                            bool bootOut) = 0;
  virtual void OnLoginOff(uint16_t address) = 0;
  virtual void OnHandUp(uint16_t address, bool handUp) = 0;
  virtual void OnChannel(uint16_t address, uint8_t channelIndex) = 0;
  virtual void OnSelectTeam(uint16_t address, uint8_t team) = 0;
  virtual void OnStartGame(uint16_t address, uint8_t keyCode) = 0;
  virtual void OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results) = 0;
  virtual void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) = 0;
  virtual void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets,
                                      uint8_t packetNumber, uint8_t questionNumber, const uint8_t* data,
                                      uint32_t dataLength) = 0;
  virtual void OnDeviceDisassociated(uint16_t address) = 0;
  virtual void OnLoginGrantConfirm(uint16_t address, bool confirm) = 0;
  virtual void OnSessionEndRemote(uint16_t address) = 0;
  virtual void OnCommandNacked(uint8_t commandId) = 0;
  virtual void OnNetworkState(bool running) = 0;
  virtual void OnReceiverPrintf(uint16_t address, const Voxlet::StringBuffer& text) = 0;
  virtual void OnProductCode(uint8_t productCode) = 0;
};

#pragma once
// A receiver for the fuzz targets: it keeps the frames its protocol handler writes and its
// packet handlers read every argument they are given, so that the sanitizers see a bad length
// or pointer at the call that passed it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ReceiverCommands.h"
#include "text/StringBuffer.h"

class FuzzReceiverSink : public IReceiverCommands {
 public:
  std::vector<std::vector<uint8_t>> written;
  // Folds every byte handed to a handler, so that no read can be left out.
  uint64_t fold = 0;

  void SendBytes(const uint8_t* bytes, uint32_t length) override { written.emplace_back(bytes, bytes + length); }
  void LogReceived(const uint8_t* bytes, uint32_t length) override { Read(bytes, length); }
  void GetName(Voxlet::StringBuffer& name) override { name = u"/dev/ttyFUZZ"; }

  void OnFirmwareInfo(uint8_t major, uint8_t minor, uint8_t build, uint16_t checksum) override {
    Fold(major + minor + build + checksum);
  }
  void OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) override { Fold(macHigh ^ macLow); }
  void OnReceiverStatus(uint8_t networkStatus) override { Fold(networkStatus); }
  void OnClickerStatus(uint16_t address, uint8_t batteryFlag, uint8_t linkQuality) override {
    Fold(address + batteryFlag + linkQuality);
  }
  void OnTransmitPower(uint16_t address, uint8_t paLevel) override { Fold(address + paLevel); }
  void OnPanId(uint16_t address, uint16_t panId) override { Fold(address + panId); }
  void OnClassName(uint16_t address, const Voxlet::StringBuffer& name) override { Fold(address + Text(name)); }
  void OnLoginRequirement(uint16_t address, bool loginRequired, bool loginTrigger, bool teamTrigger) override {
    Fold(address + loginRequired + loginTrigger + teamTrigger);
  }
  void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& studentId,
                           bool autoLogin) override {
    Fold(address + macHigh + macLow + Text(studentId) + autoLogin);
  }
  void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) override {
    Fold(address + macHigh + macLow);
  }
  void OnLoginGrant(uint16_t address, const Voxlet::StringBuffer& studentName, bool loginGrant, bool bootOut) override {
    Fold(address + Text(studentName) + loginGrant + bootOut);
  }
  void OnLoginOff(uint16_t address) override { Fold(address); }
  void OnHandUp(uint16_t address, bool handUp) override { Fold(address + handUp); }
  void OnChannel(uint16_t address, uint8_t channelIndex) override { Fold(address + channelIndex); }
  void OnSelectTeam(uint16_t address, uint8_t team) override { Fold(address + team); }
  void OnStartGame(uint16_t address, uint8_t keyCode) override { Fold(address + keyCode); }
  void OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results) override {
    Fold(scannedMask + panMask);
    if (results)
      for (const CChannelScanResults& r : *results) Fold(r.m_panId + r.m_energy);
  }
  void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) override {
    Fold(address + questionNumber);
    Read(answer.data(), answer.size());
  }
  void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets, uint8_t packetNumber,
                              uint8_t questionNumber, const uint8_t* data, uint32_t dataLength) override {
    Fold(address + sequenceNumber + totalPackets + packetNumber + questionNumber);
    Read(data, dataLength);
  }
  void OnDeviceDisassociated(uint16_t address) override { Fold(address); }
  void OnLoginGrantConfirm(uint16_t address, bool confirm) override { Fold(address + confirm); }
  void OnSessionEndRemote(uint16_t address) override { Fold(address); }
  void OnCommandNacked(uint8_t commandId) override { Fold(commandId); }
  void OnNetworkState(bool running) override { Fold(running); }
  void OnReceiverPrintf(uint16_t address, const Voxlet::StringBuffer& text) override { Fold(address + Text(text)); }
  void OnProductCode(uint8_t productCode) override { Fold(productCode); }

 private:
  void Fold(uint64_t value) { fold = fold * 31 + value; }
  void Read(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) Fold(bytes[i]);
  }
  // Reads the text whole, as the receiver does when it logs or converts it.
  uint64_t Text(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text).size(); }
};

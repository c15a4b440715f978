#pragma once
#include <cstdint>
#include <vector>

#include "text/StringBuffer.h"

// What a receiver hands on to the session it serves (the software-service side, built in
// bridge/). The receiver calls these on its own threads: the start-up worker, the close step
// and the packet dispatcher. None of them is called with a lock of the receiver held.
class IReceiverSession {
 public:
  virtual ~IReceiverSession() = default;
  // The start-up worker's last step: connect to the software service.
  virtual void ConnectToSoftwareService() = 0;
  // The open step, before the link opens: the session may serve again.
  virtual void ReopenServiceConnection() = 0;
  // The close step, before the I/O loop stops: the goodbye. Packets the radio acknowledged meanwhile
  // are still handed over (the session keeps their answers for the next opening).
  virtual void ShutDownServiceConnection() = 0;
  // The close step, once the I/O loop has stopped and the dispatcher has handed over every packet
  // the radio acknowledged: the client goes, and no session call runs once it returns.
  virtual void ReleaseServiceConnection() = 0;
  // Dispatcher: the receiver reported its network up.
  virtual void ReportNetworkUpIfPending() = 0;
  // Dispatcher: scan results came while a class start waits for its network: the activated
  // status is to be asked for again (the query put off during the scan).
  virtual void AskActivatedStatusAgain() = 0;
  // Dispatcher: decoded packets the session acts on (after the receiver has logged them).
  virtual void OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) = 0;
  virtual void OnDeviceDisassociated(uint16_t address) = 0;
  virtual void OnLoginOff(uint16_t address) = 0;
  // Dispatcher: clicker packets. The session writes their packet log lines, since each line
  // says whether and why the packet is relayed.
  virtual void OnClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality) = 0;
  virtual void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                   const Voxlet::StringBuffer& studentId, bool autoLogin) = 0;
  virtual void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) = 0;
  virtual void OnHandUp(uint16_t address, bool handUp) = 0;
  virtual void OnLoginGrantConfirm(uint16_t address, bool confirmed) = 0;
  virtual void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) = 0;
  virtual void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets,
                                      uint8_t packetNumber, uint8_t questionNumber, const uint8_t* data,
                                      uint32_t dataLength) = 0;
  virtual void OnSessionEndRemote(uint16_t address) = 0;
};

// The receiver's own packet handlers, and the decoded clicker packets that the session
// bridge relays (logged here).
#include <cstdio>

#include "client/Format.h"
#include "log/Logger.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverPreferences.h"

namespace {
std::string Text(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }
}  // namespace

void CReceiver::OnFirmwareInfo(uint8_t major, uint8_t minor, uint8_t build, uint16_t checksum) {
  OV_LOG(kLogPacket, "%s - FW_INFO_QUERY packet: version - %u.%u.0.%u, checksum - %u; relaying to session manager...",
         NameUtf8().c_str(), major, minor, build, checksum);
  char hex[8];
  snprintf(hex, sizeof hex, "%04X", checksum);
  const Voxlet::StringBuffer version = Voxlet::MessageFormat(
      u"{0}.{1}.{2} ({3})",
      {static_cast<int>(major), static_cast<int>(minor), static_cast<int>(build), Voxlet::UTF8to16(hex)});
  m_network.SetFirmwareVersion(version);
}

void CReceiver::OnTransmitPower(uint16_t address, uint8_t paLevel) {
  OV_LOG(kLogPacket, "%s - TRANSMIT_POWER packet: addr - %u, PA level - %u", NameUtf8().c_str(), address, paLevel);
}

void CReceiver::OnPanId(uint16_t address, uint16_t panId) {
  OV_LOG(kLogPacket, "%s - PAN_ID packet: addr - %u, ID - %u", NameUtf8().c_str(), address, panId);
}

void CReceiver::OnClassName(uint16_t address, const Voxlet::StringBuffer& name) {
  OV_LOG(kLogPacket, "%s - CLASS_NAME packet: addr - %u, name - %s", NameUtf8().c_str(), address, Text(name).c_str());
}

void CReceiver::OnLoginRequirement(uint16_t address, bool loginRequired, bool loginTrigger, bool teamTrigger) {
  OV_LOG(kLogPacket, "%s - LOGIN_REQUIREMENT packet: addr - %u, login req - %u, login trig - %u, team trig - %u",
         NameUtf8().c_str(), address, loginRequired, loginTrigger, teamTrigger);
  m_network.SetTriggers(loginTrigger, teamTrigger);
}

void CReceiver::OnSelectTeam(uint16_t address, uint8_t team) {
  OV_LOG(kLogPacket, "%s - SELECT_TEAM packet: addr - %u, team - %u; relaying to session manager...",
         NameUtf8().c_str(), address, team);
}

void CReceiver::OnStartGame(uint16_t address, uint8_t keyCode) {
  OV_LOG(kLogPacket, "%s - START_GAME packet: addr - %u, key code - %u", NameUtf8().c_str(), address, keyCode);
}

void CReceiver::OnLoginGrant(uint16_t address, const Voxlet::StringBuffer& studentName, bool loginGrant, bool bootOut) {
  OV_LOG(kLogPacket, "%s - LOGIN_GRANT packet: addr - %u, student name - %s, login grant - %u, boot out - %u",
         NameUtf8().c_str(), address, Text(studentName).c_str(), loginGrant, bootOut);
}

void CReceiver::OnChannel(uint16_t address, uint8_t channelIndex) {
  OV_LOG(kLogPacket, "%s - CHANNEL packet: addr - %u, channel - %u", NameUtf8().c_str(), address, channelIndex);
  const int current = channelIndex + 11;
  m_network.SetCurrentChannel(current);
  ReceiverPreferences::WriteFileInteger(ReceiverPreferences::LastChannelName(m_portName), current);
}

void CReceiver::OnCommandNacked(uint8_t commandId) { OV_LOG(kLogPacket, "Command Nacked: %#x", commandId); }

void CReceiver::OnNetworkState(bool running) { m_network.SetNetworkStarted(running); }

void CReceiver::OnReceiverPrintf(uint16_t address, const Voxlet::StringBuffer& text) {
  OV_LOG(kLogMilestone, "RECEIVER PRINTF: addr - %u; %s", address, Text(text).c_str());
}

void CReceiver::OnProductCode(uint8_t productCode) {
  OV_LOG(kLogPacket, "PRODUCT_CODE_QUERY: %d", productCode);
  m_network.SetProductText(productCode == 1 ? u"QX" : u"Voxlet");
}

void CReceiver::OnReceiverStatus(uint8_t networkStatus) { m_network.OnReceiverStatus(networkStatus); }

void CReceiver::OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results) {
  m_network.OnScanResults(scannedMask, panMask, results);
}

// Clicker activity: relayed by the session when there is one (which then writes the packet
// lines, with the reason it relays or not), else only logged.

void CReceiver::OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) {
  if (m_session) m_session->OnPropertyQueryMacAddr(macHigh, macLow);
}

void CReceiver::OnClickerStatus(uint16_t address, uint8_t batteryFlag, uint8_t linkQuality) {
  if (m_session) return m_session->OnClickerStatus(address, batteryFlag, linkQuality);
  OV_LOG(kLogPacket, "%s - DEVICE_STATUS packet: addr - %u, battery - %u, link quality - %u", NameUtf8().c_str(),
         address, batteryFlag, linkQuality);
}

void CReceiver::OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                    const Voxlet::StringBuffer& studentId, bool autoLogin) {
  if (m_session) return m_session->OnJoinLoginRequired(address, macHigh, macLow, studentId, autoLogin);
  OV_LOG(kLogPacket, "%s - JOIN_LOGIN_RESPONSE packet: addr - %u, MAC - %08X%08X, student id - %s, auto - %u",
         NameUtf8().c_str(), address, macHigh, macLow, Text(studentId).c_str(), autoLogin);
}

void CReceiver::OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) {
  if (m_session) return m_session->OnJoinNoLoginRequired(address, macHigh, macLow);
  OV_LOG(kLogPacket, "%s - JOIN_LOGIN_RESPONSE packet: addr - %u, MAC - %08X%08X", NameUtf8().c_str(), address, macHigh,
         macLow);
}

void CReceiver::OnLoginOff(uint16_t address) {
  if (m_session) return m_session->OnLoginOff(address);
  OV_LOG(kLogPacket, "%s - LOGIN_OFF packet: addr - %u", NameUtf8().c_str(), address);
}

void CReceiver::OnHandUp(uint16_t address, bool handUp) {
  if (m_session) return m_session->OnHandUp(address, handUp);
  OV_LOG(kLogPacket, "%s - HAND_UP packet: addr - %u, hand up - %u", NameUtf8().c_str(), address, handUp);
}

void CReceiver::OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) {
  if (m_session) return m_session->OnAnswerUpload(address, questionNumber, answer);
  OV_LOG(kLogPacket, "%s - ANSWER_UPLOAD packet: addr - %u, question - %u, %u byte(s)", NameUtf8().c_str(), address,
         questionNumber, static_cast<unsigned>(answer.size()));
}

void CReceiver::OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets,
                                       uint8_t packetNumber, uint8_t questionNumber, const uint8_t* data,
                                       uint32_t dataLength) {
  if (m_session)
    return m_session->OnEnhancedAnswerUpload(address, sequenceNumber, totalPackets, packetNumber, questionNumber, data,
                                             dataLength);
  OV_LOG(kLogPacket,
         "%s - ENHANCED_ANSWER_UPLOAD packet: addr - %u, sequence - %u, packet %u of %u, question - %u, %u byte(s)",
         NameUtf8().c_str(), address, sequenceNumber, packetNumber, totalPackets, questionNumber, dataLength);
}

void CReceiver::OnDeviceDisassociated(uint16_t address) {
  if (m_session) return m_session->OnDeviceDisassociated(address);
  OV_LOG(kLogPacket, "%s - DEVICE_DISASSOCIATED packet: addr - %u", NameUtf8().c_str(), address);
}

void CReceiver::OnLoginGrantConfirm(uint16_t address, bool confirm) {
  if (m_session) return m_session->OnLoginGrantConfirm(address, confirm);
  OV_LOG(kLogPacket, "%s - LOGIN_GRANT_CONFIRM packet: addr - %u, confirm - %u", NameUtf8().c_str(), address, confirm);
}

void CReceiver::OnSessionEndRemote(uint16_t address) {
  if (m_session) return m_session->OnSessionEndRemote(address);
  OV_LOG(kLogPacket, "%s - SESSION_END_REMOTE packet: addr - %u", NameUtf8().c_str(), address);
}

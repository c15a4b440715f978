// The receiver's network state: construction, and the fields the other objects read and set.
#include "protocol/ReceiverNetwork.h"

#include "client/HardwareServicePreferences.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverPreferences.h"

CReceiverNetwork::CReceiverNetwork(CReceiver& receiver, const ReceiverEnvironment& environment)
    : m_receiver(receiver), m_env(environment) {
  namespace HS = Voxlet::Preferences::HardwareService;
  m_thresholdGoodPoor = static_cast<int>(
      ReceiverPreferences::ReadFileInteger(HS::ScanThresholdGoodPoor, HS::DefaultScanThresholdGoodPoor));
  m_thresholdExcellentGood = static_cast<int>(
      ReceiverPreferences::ReadFileInteger(HS::ScanThresholdExcellentGood, HS::DefaultScanThresholdExcellentGood));
  StartChannelAnalysis();
}

CReceiverNetwork::~CReceiverNetwork() { StopChannelAnalysis(); }

CReceiverProtocolHandler* CReceiverNetwork::Handler() { return m_receiver.Handler(); }

int CReceiverNetwork::LastChannelPreference() {
  return static_cast<int>(
      ReceiverPreferences::ReadFileInteger(ReceiverPreferences::LastChannelName(m_receiver.GetPortName()), -1));
}

bool CReceiverNetwork::NetworkStarted() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_networkStarted;
}

void CReceiverNetwork::SetNetworkStarted(bool started) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_networkStarted = started;
}

void CReceiverNetwork::SetUpNotificationPending(bool pending) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_upNotificationPending = pending;
}

bool CReceiverNetwork::TakeUpNotificationPending() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  const bool pending = m_upNotificationPending;
  m_upNotificationPending = false;
  return pending;
}

bool CReceiverNetwork::NetworkStartPending() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_networkStartPending;
}

void CReceiverNetwork::SetNetworkStartPending(bool pending) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_networkStartPending = pending;
}

bool CReceiverNetwork::Scanning() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_scanning;
}

int CReceiverNetwork::CurrentChannel() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_currentChannel;
}

void CReceiverNetwork::SetCurrentChannel(int channel) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_previousChannel = m_currentChannel;
  m_currentChannel = channel;
}

void CReceiverNetwork::SetStartChannels(int previous, int current) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_previousChannel = previous;
  m_currentChannel = current;
}

Voxlet::StringBuffer CReceiverNetwork::FirmwareVersion() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_firmwareVersion;
}

void CReceiverNetwork::SetFirmwareVersion(const Voxlet::StringBuffer& version) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_firmwareVersion = version;
}

Voxlet::StringBuffer CReceiverNetwork::ProductText() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_productText;
}

void CReceiverNetwork::SetProductText(const Voxlet::StringBuffer& text) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_productText = text;
}

void CReceiverNetwork::SetTriggers(bool loginTrigger, bool teamTrigger) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_loginTrigger = loginTrigger;
  m_teamTrigger = teamTrigger;
}

void CReceiverNetwork::FlipLoginTrigger(bool& loginTrigger, bool& teamTrigger) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_loginTrigger = !m_loginTrigger;
  loginTrigger = m_loginTrigger;
  teamTrigger = m_teamTrigger;
}

bool CReceiverNetwork::BackgroundScanDue() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return !m_networkStarted && !m_networkStartPending && !m_scanning;
}

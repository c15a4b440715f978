#include "devices/ReceiverManager.h"

#include "client/Preferences.h"
#include "client/Format.h"
#include "service/Logger.h"

namespace {

constexpr int kMailIntervalSeconds = 180;
constexpr uint16_t kMaskAll = kLogMilestone | kLogPacket | kLogDiagnostic;
constexpr uint16_t kMaskMilestones = kLogMilestone;  // 0x15

Voxlet::StringBuffer PreferenceKey(const char16_t* key) {
  return Voxlet::StringBuffer(Voxlet::Preferences::Path) + u"\\" + key;
}

bool EmailLogSetting() {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::Preferences::File,
                                               PreferenceKey(Voxlet::Preferences::Install::Key), u"EmailLogOn", 0) == 1;
}

bool LogServicesMessages() {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::Preferences::File,
                                               PreferenceKey(Voxlet::Preferences::HardwareService::Key),
                                               u"LogServicesMessages", 0) == 1;
}

void SetMask(uint16_t mask) {
  if (CLogger* logger = g_pLogger.load()) logger->SetMask(mask);
}

// Where the e-mailed log goes: the install key's "EmailLogRecipient", else the local root.
LogMailSettings MailSettings() {
  const auto key = PreferenceKey(Voxlet::Preferences::Install::Key);
  LogMailSettings mail;
  mail.mailHost = "localhost";
  mail.recipient = Voxlet::UTF16to8(
      Voxlet::Preferences::ReadStringValue(Voxlet::Preferences::File, key, u"EmailLogRecipient", u"root@localhost"));
  return mail;
}

}  // namespace

CReceiverManager::CReceiverManager(CReceiverServiceSettings* settings) : m_settings(settings) {}

void CReceiverManager::Run() {
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run started");
  if (EmailLogSetting()) {
    SetEmailLog(true, true);
  } else {
    SetMask(LogServicesMessages() ? kMaskMilestones : kMaskAll);
  }
  m_stopEvent.Wait(-1);
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run complete");
}

void CReceiverManager::SetEmailLog(bool on, bool atStartup) {
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    m_emailLogOn = on;
    m_nextMailTime = on ? Voxlet::UTF16to8(Voxlet::CurrentTimestamp(kMailIntervalSeconds)) : std::string();
  }
  if (on) {
    OV_LOG(kLogMilestone, atStartup ? "Email log at startup is: ON+++" : "Turning email log ON+++");
    SetMask(kMaskAll);
  } else {
    OV_LOG(kLogMilestone, "Turning email log OFF---");
    // Switched off, the administrator's "LogServicesMessages" choice widens rather than narrows.
    SetMask(LogServicesMessages() ? kMaskAll : kMaskMilestones);
  }
}

void CReceiverManager::CheckEmailLogSetting() {
  const bool on = EmailLogSetting();
  bool current;
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    current = m_emailLogOn;
  }
  if (on != current) SetEmailLog(on, false);
}

void CReceiverManager::OnLogChanged() {
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    if (!m_emailLogOn) return;
    const std::string now = Voxlet::UTF16to8(Voxlet::CurrentTimestamp(0));
    if (now < m_nextMailTime) return;
    m_nextMailTime = Voxlet::UTF16to8(Voxlet::CurrentTimestamp(kMailIntervalSeconds));
  }
  if (CLogger* logger = g_pLogger.load()) logger->EmailLog(MailSettings());
}

#include "devices/EmailLog.h"

#include "client/Format.h"
#include "client/Preferences.h"
#include "client/Strings.h"
#include "log/Logger.h"

namespace {

constexpr int kMailIntervalSeconds = 180;
constexpr uint16_t kMaskAll = kLogMilestone | kLogPacket | kLogDiagnostic;  // 0x15
constexpr uint16_t kMaskMilestones = kLogMilestone;

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
  if (auto logger = g_pLogger.Acquire()) logger->SetMask(mask);
}

// Where the e-mailed log goes: the install key's "EmailLogRecipient", else the local root.
LogMailSettings MailSettings() {
  LogMailSettings mail;
  mail.mailHost = "localhost";
  mail.recipient = Voxlet::UTF16to8(
      Voxlet::Preferences::ReadStringValue(Voxlet::Preferences::File, PreferenceKey(Voxlet::Preferences::Install::Key),
                                           u"EmailLogRecipient", u"root@localhost"));
  return mail;
}

std::string Timestamp(int secondsAhead) { return Voxlet::UTF16to8(Voxlet::CurrentTimestamp(secondsAhead)); }

}  // namespace

void CEmailLog::ApplyAtStartup() {
  if (EmailLogSetting()) {
    Set(true);
    Announce(true, Switch::kAtStartup);
  } else {
    SetMask(LogServicesMessages() ? kMaskMilestones : kMaskAll);
  }
}

void CEmailLog::CheckSetting() {
  const bool on = EmailLogSetting();
  if (Set(on)) Announce(on, Switch::kChanged);
}

bool CEmailLog::Set(bool on) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (on == m_on) return false;
  m_on = on;
  m_nextMailTime = on ? Timestamp(kMailIntervalSeconds) : std::string();
  return true;
}

void CEmailLog::Announce(bool on, Switch why) {
  if (on) {
    OV_LOG(kLogMilestone, why == Switch::kAtStartup ? "Email log at startup is: ON+++" : "Turning email log ON+++");
    SetMask(kMaskAll);
  } else {
    OV_LOG(kLogMilestone, "Turning email log OFF---");
    SetMask(LogServicesMessages() ? kMaskAll : kMaskMilestones);
  }
}

void CEmailLog::OnLogWritten() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_on) return;
    if (Timestamp(0) < m_nextMailTime) return;
    m_nextMailTime = Timestamp(kMailIntervalSeconds);
  }
  if (auto logger = g_pLogger.Acquire()) logger->EmailLog(MailSettings());
}

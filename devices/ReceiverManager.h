#pragma once
#include <mutex>
#include <string>

#include "platform/WaitEvent.h"
#include "service/ReceiverServiceSettings.h"
#include "service/ServiceEvents.h"

// Owns every connected receiver and drives them for the life of the service. This first
// version runs the service's start-up and shut-down and the e-mailed log; receivers, the
// software-service connection and the SDK server join it as those parts land.
class CReceiverManager : public IServiceManager {
 public:
  explicit CReceiverManager(CReceiverServiceSettings* settings);
  ~CReceiverManager() override = default;

  // IServiceEvents
  void Run() override;
  void Stop() override;
  void OnDeviceEvent(uint32_t eventType, const void* eventData) override;
  void OnPowerEvent(uint32_t eventType, const void* eventData) override;

  // LogChangedIntf: mails the log when the e-mail log is on and its time has come.
  void OnLogChanged() override;

  CReceiverServiceSettings* Settings() const { return m_settings; }

  // Reads "EmailLogOn" and switches the e-mail log and the log mask when it changed.
  void CheckEmailLogSetting();

 private:
  void SetEmailLog(bool on, bool atStartup);

  ReceiverService::CWaitEvent m_stopEvent;
  CReceiverServiceSettings* m_settings;

  std::mutex m_mailLock;  // the e-mail state: set by Run and the tick, read on the log's writer thread
  bool m_emailLogOn = false;
  std::string m_nextMailTime;
};

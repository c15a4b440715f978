#include "devices/DeviceHotplug.h"
#include "devices/ReceiverManager.h"
#include "log/Logger.h"

// The service manager's side of the receiver manager: stop, device and power events.

void CReceiverManager::Stop() {
  OV_LOG(kLogDiagnostic, "CServiceEventHandler::Stop");
  m_stopping = true;
  m_link.Stop();
  m_receivers.Shutdown();
  m_stopEvent.Set();
}

void CReceiverManager::OnDeviceEvent(const DeviceEvent& event) {
  const std::string device = DescribeDevice(event);
  switch (event.action) {
    case DeviceAction::kArrival:
      OV_LOG(kLogDiagnostic,
             "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEARRIVAL - DBT_DEVTYP_DEVICEINTERFACE - Device Name:-->%s<--",
             device.c_str());
      DeviceArrival(event, ArrivalRetry::kRetryLater);
      break;
    case DeviceAction::kRemoval:
      OV_LOG(kLogDiagnostic,
             "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_DEVICEINTERFACE - Device "
             "Name:-->%s<--",
             device.c_str());
      DeviceRemoval(event);
      break;
  }
}

void CReceiverManager::OnPowerEvent(PowerEvent event) {
  switch (event) {
    case PowerEvent::kQuerySuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMQUERYSUSPEND");
      CloseAllReceivers();
      break;
    case PowerEvent::kQuerySuspendFailed:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMQUERYSUSPENDFAILED");
      EnumerateReceivers();
      break;
    case PowerEvent::kSuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMSUSPEND");
      CloseAllReceivers();
      break;
    case PowerEvent::kResumeCritical:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMRESUMECRITICAL");
      CloseAllReceivers();
      EnumerateReceivers();
      break;
    case PowerEvent::kResumeSuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMRESUMESUSPEND");
      EnumerateReceivers();
      break;
  }
}

#include "devices/DeviceHotplug.h"
#include "devices/ReceiverManager.h"
#include "log/Logger.h"
#include "sdk/LogText.h"

// The service manager's side of the receiver manager: stop, device and power events.

void CReceiverManager::Stop() {
  OV_LOG(kLogDiagnostic, "CServiceEventHandler::Stop");
  m_stopping = true;
  m_link.Stop();
  m_receivers.Shutdown();
  m_stopEvent.Set();
}

namespace {

// The event's name in the log lines ("DBT_DEVICEARRIVAL"); null for a code not named.
const char* EventName(DeviceAction action) {
  switch (action) {
    case DeviceAction::kArrival:
      return "DBT_DEVICEARRIVAL";
    case DeviceAction::kQueryRemove:
      return "DBT_DEVICEQUERYREMOVE";
    case DeviceAction::kQueryRemoveFailed:
      return "DBT_DEVICEQUERYREMOVEFAILED";
    case DeviceAction::kRemovePending:
      return "DBT_DEVICEREMOVEPENDING";
    case DeviceAction::kRemoval:
      return "DBT_DEVICEREMOVECOMPLETE";
    case DeviceAction::kCustom:
      return "DBT_CUSTOMEVENT";
  }
  return nullptr;
}

}  // namespace

void CReceiverManager::OnDeviceEvent(const DeviceEvent& event) {
  const char* name = EventName(event.action);
  if (!name) {
    OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT unknown %d", static_cast<int>(event.action));
    return;
  }
  const bool arrival = event.action == DeviceAction::kArrival;
  const bool removal = event.action == DeviceAction::kQueryRemove || event.action == DeviceAction::kRemoval;
  if (!arrival && !removal) {  // the other events name no device worth a line
    OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - %s", name);
    return;
  }
  switch (event.type) {
    case DeviceType::kInterface:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - %s - DBT_DEVTYP_DEVICEINTERFACE - Device Name:-->%s<--",
             name, DescribeDevice(event).c_str());
      if (arrival)
        DeviceArrival(event, ArrivalRetry::kRetryLater);
      else
        DeviceRemoval(event);
      break;
    case DeviceType::kPort:
      // A port comes and goes with its device, whose own events open and close the receiver.
      if (arrival)
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - %s - DBT_DEVTYP_PORT - Device Name:-->%s<--", name,
               EscapeForLog(event.sysPath).c_str());
      else
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - %s - DBT_DEVTYP_PORT", name);
      break;
    case DeviceType::kHandle:
      if (removal) OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - %s - DBT_DEVTYP_HANDLE", name);
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
    default:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - POWEREVENT : %d", static_cast<int>(event));
      break;
  }
}

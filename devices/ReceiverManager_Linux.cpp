#include "devices/ReceiverManager.h"
#include "log/Logger.h"

// The service manager's side of the receiver manager: stop, device and power events.

void CReceiverManager::Stop() {
  OV_LOG(kLogDiagnostic, "CServiceEventHandler::Stop");
  m_stopping = true;
  CloseAllReceivers();
  m_stopEvent.Set();
}

void CReceiverManager::OnDeviceEvent(uint32_t eventType, const void* eventData) {
  if (!eventData) return;
  const auto& data = *static_cast<const DeviceBroadcast*>(eventData);
  const char* name = data.name.c_str();
  switch (eventType) {
    case kDeviceArrival:
      if (data.deviceType == kDevTypeDeviceInterface) {
        OV_LOG(kLogDiagnostic,
               "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEARRIVAL - DBT_DEVTYP_DEVICEINTERFACE - Device Name:-->%s<--",
               name);
        DeviceArrival(data.name, true);
      } else if (data.deviceType == kDevTypePort) {
        OV_LOG(kLogDiagnostic,
               "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEARRIVAL - DBT_DEVTYP_PORT - Device Name:-->%s<--", name);
      }
      break;
    case kDeviceQueryRemove:
      if (data.deviceType == kDevTypeDeviceInterface) {
        OV_LOG(kLogDiagnostic,
               "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVE - DBT_DEVTYP_DEVICEINTERFACE - Device "
               "Name:-->%s<--",
               name);
        DeviceRemoval(data.name);
      } else if (data.deviceType == kDevTypePort) {
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVE - DBT_DEVTYP_PORT");
      } else if (data.deviceType == kDevTypeHandle) {
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVE - DBT_DEVTYP_HANDLE");
      }
      break;
    case kDeviceQueryRemoveFailed:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEQUERYREMOVEFAILED");
      break;
    case kDeviceRemovePending:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVEPENDING");
      break;
    case kDeviceRemoveComplete:
      if (data.deviceType == kDevTypeDeviceInterface) {
        OV_LOG(kLogDiagnostic,
               "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_DEVICEINTERFACE - Device "
               "Name:-->%s<--",
               name);
        DeviceRemoval(data.name);
      } else if (data.deviceType == kDevTypePort) {
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_PORT");
      } else if (data.deviceType == kDevTypeHandle) {
        OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_DEVICEREMOVECOMPLETE - DBT_DEVTYP_HANDLE");
      }
      break;
    case kDeviceCustomEvent:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT_CUSTOMEVENT");
      break;
    default:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_DEVICEEVENT - DBT unknown %d", eventType);
      break;
  }
}

void CReceiverManager::OnPowerEvent(uint32_t eventType, const void*) {
  switch (eventType) {
    case kPowerQuerySuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMQUERYSUSPEND");
      CloseAllReceivers();
      break;
    case kPowerQuerySuspendFailed:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMQUERYSUSPENDFAILED");
      EnumerateReceivers();
      break;
    case kPowerSuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMSUSPEND");
      CloseAllReceivers();
      break;
    case kPowerResumeCritical:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMRESUMECRITICAL");
      CloseAllReceivers();
      EnumerateReceivers();
      break;
    case kPowerResumeSuspend:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - PBT_APMRESUMESUSPEND");
      EnumerateReceivers();
      break;
    default:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_POWEREVENT - POWEREVENT : %d", eventType);
      break;
  }
}

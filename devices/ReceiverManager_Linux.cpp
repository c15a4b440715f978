#include "devices/ReceiverManager.h"
#include "service/Logger.h"

// The service manager's side of the receiver manager: stop, device and power events.

void CReceiverManager::Stop() {
  OV_LOG(kLogDiagnostic, "CServiceEventHandler::Stop");
  m_stopEvent.Set();
}

void CReceiverManager::OnDeviceEvent(uint32_t, const void*) {}

void CReceiverManager::OnPowerEvent(uint32_t, const void*) {}

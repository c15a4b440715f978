#pragma once
#include <windows.h>

#include "platform/ServiceControl.h"

namespace Platform {

// A control as the SCM hands it to the service's handler, in the portable terms: for a device
// event the broadcast's device type and the name it carries (the device interface's path, the
// port's name), for a power event its code.
ServiceControlRequest DecodeControlRequest(DWORD control, DWORD eventType, const void* eventData);

// Asks the SCM to tell the service, through its handler, of USB devices arriving and going.
// Without it the service hears of no device events; it runs on all the same.
void RegisterUsbDeviceEvents(SERVICE_STATUS_HANDLE status);

}  // namespace Platform

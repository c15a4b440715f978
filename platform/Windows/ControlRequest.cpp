#include "platform/Windows/ControlRequest.h"

#include <dbt.h>

#include <cstddef>
#include <cwchar>
#include <string>

#include "platform/Windows/WideText.h"

namespace Platform {
namespace {

// The USB device interface class: every USB device, receivers among them.
constexpr GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// The name a broadcast carries after its fixed fields: up to the size the header gives, and
// never past a terminating null (a sender may leave the name unterminated).
std::string NameAt(const DEV_BROADCAST_HDR& header, size_t nameOffset) {
  if (header.dbch_size <= nameOffset) return {};
  const size_t chars = (header.dbch_size - nameOffset) / sizeof(wchar_t);
  const auto* name = reinterpret_cast<const wchar_t*>(reinterpret_cast<const char*>(&header) + nameOffset);
  return Narrow(std::wstring(name, ::wcsnlen(name, chars)));
}

}  // namespace

ServiceControlRequest DecodeControlRequest(DWORD control, DWORD eventType, const void* eventData) {
  ServiceControlRequest request;
  request.control = control;
  if (control != SERVICE_CONTROL_DEVICEEVENT && control != SERVICE_CONTROL_POWEREVENT) return request;
  request.eventType = eventType;
  if (control != SERVICE_CONTROL_DEVICEEVENT || !eventData) return request;
  const auto& header = *static_cast<const DEV_BROADCAST_HDR*>(eventData);
  request.hasDeviceData = true;
  request.deviceType = header.dbch_devicetype;
  if (header.dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
    request.deviceName = NameAt(header, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
  else if (header.dbch_devicetype == DBT_DEVTYP_PORT)
    request.deviceName = NameAt(header, offsetof(DEV_BROADCAST_PORT_W, dbcp_name));
  return request;
}

void RegisterUsbDeviceEvents(SERVICE_STATUS_HANDLE status) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  // Kept for the life of the process: the system drops it when the service's process ends.
  ::RegisterDeviceNotificationW(status, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

}  // namespace Platform

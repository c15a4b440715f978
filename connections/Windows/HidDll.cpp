#include "connections/Windows/HidDll.h"

bool CHidDll::GetHidGuid(GUID* guid) {
  auto* call = Resolve<decltype(::HidD_GetHidGuid)>("HidD_GetHidGuid");
  if (!call) return Missing(false);
  call(guid);
  return true;
}

BOOLEAN CHidDll::GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  auto* call = Resolve<decltype(::HidD_GetAttributes)>("HidD_GetAttributes");
  return call ? call(device, attributes) : Missing<BOOLEAN>(FALSE);
}

BOOLEAN CHidDll::GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  auto* call = Resolve<decltype(::HidD_GetPreparsedData)>("HidD_GetPreparsedData");
  return call ? call(device, data) : Missing<BOOLEAN>(FALSE);
}

BOOLEAN CHidDll::FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* call = Resolve<decltype(::HidD_FreePreparsedData)>("HidD_FreePreparsedData");
  return call ? call(data) : Missing<BOOLEAN>(FALSE);
}

NTSTATUS CHidDll::GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* call = Resolve<decltype(::HidP_GetCaps)>("HidP_GetCaps");
  return call ? call(data, caps) : Missing<NTSTATUS>(HIDP_STATUS_NOT_IMPLEMENTED);
}

BOOLEAN CHidDll::FlushQueue(HANDLE device) {
  auto* call = Resolve<decltype(::HidD_FlushQueue)>("HidD_FlushQueue");
  return call ? call(device) : Missing<BOOLEAN>(FALSE);
}

BOOLEAN CHidDll::SetFeature(HANDLE device, PVOID report, ULONG length) {
  auto* call = Resolve<decltype(::HidD_SetFeature)>("HidD_SetFeature");
  return call ? call(device, report, length) : Missing<BOOLEAN>(FALSE);
}

BOOLEAN CHidDll::GetIndexedString(HANDLE device, ULONG index, PVOID buffer, ULONG length) {
  auto* call = Resolve<decltype(::HidD_GetIndexedString)>("HidD_GetIndexedString");
  return call ? call(device, index, buffer, length) : Missing<BOOLEAN>(FALSE);
}

BOOLEAN CHidDll::GetSerialNumberString(HANDLE device, PVOID buffer, ULONG length) {
  auto* call = Resolve<decltype(::HidD_GetSerialNumberString)>("HidD_GetSerialNumberString");
  return call ? call(device, buffer, length) : Missing<BOOLEAN>(FALSE);
}

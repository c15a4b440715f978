#include "connections/Windows/SetupApiDll.h"

HDEVINFO CSetupApiDll::GetClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
  auto* call = Resolve<decltype(::SetupDiGetClassDevsW)>("SetupDiGetClassDevsW");
  return call ? call(classGuid, enumerator, parent, flags) : Missing(INVALID_HANDLE_VALUE);
}

BOOL CSetupApiDll::EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA interfaceData) {
  auto* call = Resolve<decltype(::SetupDiEnumDeviceInterfaces)>("SetupDiEnumDeviceInterfaces");
  return call ? call(set, device, interfaceClass, index, interfaceData) : Missing(FALSE);
}

BOOL CSetupApiDll::GetDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                            PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                            PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  auto* call = Resolve<decltype(::SetupDiGetDeviceInterfaceDetailW)>("SetupDiGetDeviceInterfaceDetailW");
  return call ? call(set, interfaceData, detail, detailSize, requiredSize, device) : Missing(FALSE);
}

BOOL CSetupApiDll::GetDeviceInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize,
                                       PDWORD requiredSize) {
  auto* call = Resolve<decltype(::SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW");
  return call ? call(set, device, id, idSize, requiredSize) : Missing(FALSE);
}

BOOL CSetupApiDll::GetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD valueType,
                                             PBYTE buffer, DWORD bufferSize, PDWORD requiredSize) {
  auto* call = Resolve<decltype(::SetupDiGetDeviceRegistryPropertyW)>("SetupDiGetDeviceRegistryPropertyW");
  return call ? call(set, device, property, valueType, buffer, bufferSize, requiredSize) : Missing(FALSE);
}

HKEY CSetupApiDll::OpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                                 REGSAM access) {
  auto* call = Resolve<decltype(::SetupDiOpenDevRegKey)>("SetupDiOpenDevRegKey");
  return call ? call(set, device, scope, profile, keyType, access) : Missing(static_cast<HKEY>(INVALID_HANDLE_VALUE));
}

BOOL CSetupApiDll::DestroyDeviceInfoList(HDEVINFO set) {
  auto* call = Resolve<decltype(::SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
  return call ? call(set) : Missing(FALSE);
}

HDEVINFO CSetupApiDll::CreateDeviceInfoList(const GUID* classGuid, HWND parent) {
  auto* call = Resolve<decltype(::SetupDiCreateDeviceInfoList)>("SetupDiCreateDeviceInfoList");
  return call ? call(classGuid, parent) : Missing(INVALID_HANDLE_VALUE);
}

BOOL CSetupApiDll::OpenDeviceInfo(HDEVINFO set, PCWSTR instanceId, HWND parent, DWORD flags, PSP_DEVINFO_DATA device) {
  auto* call = Resolve<decltype(::SetupDiOpenDeviceInfoW)>("SetupDiOpenDeviceInfoW");
  return call ? call(set, instanceId, parent, flags, device) : Missing(FALSE);
}

BOOL CSetupApiDll::SetClassInstallParams(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_CLASSINSTALL_HEADER params,
                                         DWORD paramsSize) {
  auto* call = Resolve<decltype(::SetupDiSetClassInstallParamsW)>("SetupDiSetClassInstallParamsW");
  return call ? call(set, device, params, paramsSize) : Missing(FALSE);
}

BOOL CSetupApiDll::CallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device) {
  auto* call = Resolve<decltype(::SetupDiCallClassInstaller)>("SetupDiCallClassInstaller");
  return call ? call(function, set, device) : Missing(FALSE);
}

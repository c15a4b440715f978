#include "connections/SetupApiDll.h"

#include <atomic>

namespace {

std::atomic<CSetupApiDll*> g_replacement{nullptr};

// The missing function's answer: the call failed, for want of the function.
template <typename Result>
Result Missing(Result failed) {
  ::SetLastError(ERROR_PROC_NOT_FOUND);
  return failed;
}

}  // namespace

CSetupApiDll::~CSetupApiDll() {
  if (m_module) ::FreeLibrary(m_module);
}

template <typename Function>
Function* CSetupApiDll::Resolve(const char* name) {
  std::call_once(m_loadOnce, [this] { m_module = ::LoadLibraryW(L"SetupApi.dll"); });
  if (!m_module) return nullptr;
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
}

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

CSetupApiDll& CSetupApiDll::Current() {
  static CSetupApiDll system;
  CSetupApiDll* replacement = g_replacement.load();
  return replacement ? *replacement : system;
}

void CSetupApiDll::Use(CSetupApiDll* loader) { g_replacement.store(loader); }

#pragma once
#include <windows.h>
// windows.h first: SetupAPI's header builds on it.
#include <setupapi.h>

#include "connections/Windows/RuntimeDll.h"

// SetupAPI, loaded from "SetupApi.dll" at run time (a missing function fails its call with
// FALSE or INVALID_HANDLE_VALUE). The calls are virtual so that tests can stand in for the
// devices of a machine. The process calls the loader Current() answers (CLoaderInUse).
class CSetupApiDll : public CRuntimeDll, public CLoaderInUse<CSetupApiDll> {
 public:
  CSetupApiDll() : CRuntimeDll(L"SetupApi.dll") {}

  virtual HDEVINFO GetClassDevs(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
  virtual BOOL EnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA interfaceData);
  virtual BOOL GetDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                        PDWORD requiredSize, PSP_DEVINFO_DATA device);
  virtual BOOL GetDeviceInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD idSize, PDWORD requiredSize);
  virtual BOOL GetDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD valueType,
                                         PBYTE buffer, DWORD bufferSize, PDWORD requiredSize);
  virtual HKEY OpenDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                             REGSAM access);
  virtual BOOL DestroyDeviceInfoList(HDEVINFO set);
  // The device restart's calls.
  virtual HDEVINFO CreateDeviceInfoList(const GUID* classGuid, HWND parent);
  virtual BOOL OpenDeviceInfo(HDEVINFO set, PCWSTR instanceId, HWND parent, DWORD flags, PSP_DEVINFO_DATA device);
  virtual BOOL SetClassInstallParams(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_CLASSINSTALL_HEADER params,
                                     DWORD paramsSize);
  virtual BOOL CallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device);
};

#pragma once
#include <windows.h>
// windows.h first: SetupAPI's header builds on it.
#include <setupapi.h>

#include <mutex>

// SetupAPI, loaded from "SetupApi.dll" on first use with each function looked up by name: a
// system without one of them makes that call fail (FALSE or INVALID_HANDLE_VALUE with
// ERROR_PROC_NOT_FOUND) instead of keeping the service from starting. The calls are virtual so
// that tests can stand in for the devices of a machine.
class CSetupApiDll {
 public:
  CSetupApiDll() = default;
  virtual ~CSetupApiDll();
  CSetupApiDll(const CSetupApiDll&) = delete;
  CSetupApiDll& operator=(const CSetupApiDll&) = delete;

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

  // The loader the process uses: the system's SetupAPI, unless a test put one of its own in
  // place (nullptr puts the system's back). Set before the devices are walked, not during.
  static CSetupApiDll& Current();
  static void Use(CSetupApiDll* loader);

 private:
  // The function, resolved on first use; null when the DLL or the function is missing.
  template <typename Function>
  Function* Resolve(const char* name);

  // Loaded once: the walk and the device events may ask from two threads.
  std::once_flag m_loadOnce;
  HMODULE m_module = nullptr;
};

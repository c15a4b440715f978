#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "connections/Windows/SetupApiDll.h"
#include "platform/WaitEvent.h"

// SetupAPI as far as a device restart goes: it knows one device instance and records each
// restart the class installer is asked for (with the parameters it was given). In place of the
// system's while it lives.
class RestartRecorder : public CSetupApiDll {
 public:
  explicit RestartRecorder(std::wstring instanceId) : m_instanceId(std::move(instanceId)) { CSetupApiDll::Use(this); }
  ~RestartRecorder() override { CSetupApiDll::Use(nullptr); }

  HDEVINFO CreateDeviceInfoList(const GUID* classGuid, HWND parent) override {
    if (classGuid || parent) return INVALID_HANDLE_VALUE;
    ++lists;
    return kSet;
  }
  BOOL OpenDeviceInfo(HDEVINFO set, PCWSTR instanceId, HWND, DWORD, PSP_DEVINFO_DATA device) override {
    if (set != kSet || device->cbSize != sizeof(SP_DEVINFO_DATA) || m_instanceId != instanceId) return FALSE;
    device->DevInst = 7;
    return TRUE;
  }
  BOOL SetClassInstallParams(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_CLASSINSTALL_HEADER params,
                             DWORD size) override {
    if (set != kSet || device->DevInst != 7 || size != sizeof(SP_PROPCHANGE_PARAMS)) return FALSE;
    m_params = *reinterpret_cast<SP_PROPCHANGE_PARAMS*>(params);
    return TRUE;
  }
  BOOL CallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device) override {
    if (set != kSet || device->DevInst != 7 || function != DIF_PROPERTYCHANGE) return FALSE;
    restarts.push_back(m_params);
    return TRUE;
  }
  // The restart's last call: a test waits for it before it reads the records.
  BOOL DestroyDeviceInfoList(HDEVINFO set) override {
    if (set != kSet) return FALSE;
    ++destroyed;
    ended.Set();
    return TRUE;
  }

  std::vector<SP_PROPCHANGE_PARAMS> restarts;
  int lists = 0;
  int destroyed = 0;
  CWaitEvent ended;

 private:
  static inline const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x5E7);
  std::wstring m_instanceId;
  SP_PROPCHANGE_PARAMS m_params{};
};

#include "connections/RestartDeviceThread.h"
#include "connections/Windows/SetupApiDll.h"
#include "platform/Windows/WideText.h"

// The class installer is told that the device's properties changed (DIF_PROPERTYCHANGE with
// DICS_PROPCHANGE, in every hardware profile): the system stops the device and starts it again.
bool CRestartDeviceThread::RestartDevice(const std::string& instanceId) {
  if (instanceId.empty()) return false;
  CSetupApiDll& api = CSetupApiDll::Current();
  const HDEVINFO set = api.CreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  bool restarted = false;
  if (api.OpenDeviceInfo(set, Platform::Widen(instanceId).c_str(), nullptr, 0, &device)) {
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    restarted = api.SetClassInstallParams(set, &device, &params.ClassInstallHeader, sizeof params) &&
                api.CallClassInstaller(DIF_PROPERTYCHANGE, set, &device);
  }
  api.DestroyDeviceInfoList(set);
  return restarted;
}

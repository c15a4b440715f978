#pragma once
#include <windows.h>
// windows.h first: the HID headers build on it.
#include <hidsdi.h>

#include "connections/Windows/RuntimeDll.h"

// The HID class driver's user-mode calls, loaded from "Hid.dll" at run time (a missing
// function fails its call: FALSE, or HIDP_STATUS_NOT_IMPLEMENTED from GetCaps). The calls are
// virtual so that tests can stand in for a HID device. The process calls the loader Current() answers (CLoaderInUse).
class CHidDll : public CRuntimeDll, public CLoaderInUse<CHidDll> {
 public:
  CHidDll() : CRuntimeDll(L"Hid.dll") {}

  virtual bool GetHidGuid(GUID* guid);
  virtual BOOLEAN GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
  virtual BOOLEAN GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
  virtual BOOLEAN FreePreparsedData(PHIDP_PREPARSED_DATA data);
  virtual NTSTATUS GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);
  virtual BOOLEAN FlushQueue(HANDLE device);
  virtual BOOLEAN SetFeature(HANDLE device, PVOID report, ULONG length);
  virtual BOOLEAN GetIndexedString(HANDLE device, ULONG index, PVOID buffer, ULONG length);
  virtual BOOLEAN GetSerialNumberString(HANDLE device, PVOID buffer, ULONG length);
};

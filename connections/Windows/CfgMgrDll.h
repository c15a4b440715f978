#pragma once
#include <windows.h>
// windows.h first: the configuration manager's header builds on it.
#include <cfgmgr32.h>

#include "connections/Windows/RuntimeDll.h"

// The configuration manager's device tree, loaded from "CfgMgr32.dll" at run time (a missing
// function fails its call with CR_CALL_NOT_IMPLEMENTED). The calls are virtual so that tests can
// stand in for a machine's device tree. The process calls the loader Current() answers
// (CLoaderInUse).
class CCfgMgrDll : public CRuntimeDll, public CLoaderInUse<CCfgMgrDll> {
 public:
  CCfgMgrDll() : CRuntimeDll(L"CfgMgr32.dll") {}

  // The device node of a device instance id ("USB\VID_16D3&PID_0051\R7").
  virtual CONFIGRET LocateDevNode(DEVINST* node, const wchar_t* instanceId, ULONG flags);
  virtual CONFIGRET GetChild(DEVINST* child, DEVINST node, ULONG flags);
  virtual CONFIGRET GetSibling(DEVINST* sibling, DEVINST node, ULONG flags);
  // The node's device instance id, in a buffer of `length` characters (its terminator included).
  virtual CONFIGRET GetDeviceId(DEVINST node, wchar_t* buffer, ULONG length, ULONG flags);
};

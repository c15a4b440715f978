#include "connections/Windows/CfgMgrDll.h"

CONFIGRET CCfgMgrDll::LocateDevNode(DEVINST* node, const wchar_t* instanceId, ULONG flags) {
  auto* call = Resolve<decltype(::CM_Locate_DevNodeW)>("CM_Locate_DevNodeW");
  return call ? call(node, const_cast<wchar_t*>(instanceId), flags) : Missing<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED);
}

CONFIGRET CCfgMgrDll::GetChild(DEVINST* child, DEVINST node, ULONG flags) {
  auto* call = Resolve<decltype(::CM_Get_Child)>("CM_Get_Child");
  return call ? call(child, node, flags) : Missing<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED);
}

CONFIGRET CCfgMgrDll::GetSibling(DEVINST* sibling, DEVINST node, ULONG flags) {
  auto* call = Resolve<decltype(::CM_Get_Sibling)>("CM_Get_Sibling");
  return call ? call(sibling, node, flags) : Missing<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED);
}

CONFIGRET CCfgMgrDll::GetDeviceId(DEVINST node, wchar_t* buffer, ULONG length, ULONG flags) {
  auto* call = Resolve<decltype(::CM_Get_Device_IDW)>("CM_Get_Device_IDW");
  return call ? call(node, buffer, length, flags) : Missing<CONFIGRET>(CR_CALL_NOT_IMPLEMENTED);
}

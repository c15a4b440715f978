#include "connections/PortFactory.h"

#include "connections/ThreadedCOMPort.h"
#include "connections/ThreadedHIDPort.h"
#include "connections/ThreadedProlificPort.h"

std::unique_ptr<CThreadedPort> MakeThreadedPort(const SBConnectionInfo& info) {
  switch (info.connectionKind) {
    case kConnectionCom:
      return std::make_unique<CThreadedCOMPort>();
    case kConnectionProlific:
      return std::make_unique<CThreadedProlificPort>(Voxlet::UTF16to8(info.deviceInstanceId));
    case kConnectionHid:
      return std::make_unique<CThreadedHIDPort>();
    default:
      return nullptr;  // camera-board links are not served here
  }
}

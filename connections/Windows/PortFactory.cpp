#include "connections/PortFactory.h"

#include "connections/ThreadedCOMPort.h"
#include "log/Logger.h"

std::unique_ptr<CThreadedPort> MakeThreadedPort(const SBConnectionInfo& info) {
  switch (info.connectionKind) {
    case kConnectionCom:
      return std::make_unique<CThreadedCOMPort>();
    case kConnectionProlific:
    case kConnectionHid:
      // Its open answers "not present", which the receiver does not log: this line says why.
      OV_LOG(kLogMilestone, "%s - This Windows build has no %s link; the receiver is not opened.",
             Voxlet::UTF16to8(info.portName).c_str(),
             info.connectionKind == kConnectionHid ? "HID" : "Prolific USB-serial bridge");
      return nullptr;
    default:
      return nullptr;  // camera-board links are not served here
  }
}

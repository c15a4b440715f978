// The service host with the platform's service manager and a receiver manager that does
// nothing but run until it is stopped: what the Windows service executable is without its
// device layer. The manager sets the event "Global\OvantaHostTest.running" when it starts.
#include <windows.h>

#include "platform/ServiceControl.h"
#include "service/ServiceHost.h"
#include "tests/service/IdleManager.h"

namespace {

// Tells the test that the service runs.
void SignalRunning() {
  if (HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\OvantaHostTest.running")) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  ServiceHostParts parts;
  parts.serviceControl = control.get();
  parts.makeManager = [](CReceiverServiceSettings&) { return std::make_unique<IdleManager>(SignalRunning); };
  return ReceiverServiceMain(argc, argv, parts);
}

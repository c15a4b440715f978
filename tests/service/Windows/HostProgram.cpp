// The service host with the platform's service manager and a receiver manager that does
// nothing but run until it is stopped: what the Windows service executable is without its
// device layer. The manager sets the event "Global\OvantaHostTest.running" when it starts.
#include <windows.h>

#include "platform/ServiceControl.h"
#include "platform/WaitEvent.h"
#include "service/ServiceHost.h"

namespace {

class IdleManager : public IServiceManager {
 public:
  void Run() override {
    if (HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, "Global\\OvantaHostTest.running")) {
      ::SetEvent(event);
      ::CloseHandle(event);
    }
    m_stop.Wait(-1);
  }
  void Stop() override { m_stop.Set(); }
  void OnDeviceEvent(const DeviceEvent&) override {}
  void OnPowerEvent(PowerEvent) override {}
  void OnLogChanged() override {}

 private:
  ReceiverService::CWaitEvent m_stop;
};

}  // namespace

int main(int argc, char** argv) {
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  ServiceHostParts parts;
  parts.serviceControl = control.get();
  parts.makeManager = [](CReceiverServiceSettings&) { return std::make_unique<IdleManager>(); };
  return ReceiverServiceMain(argc, argv, parts);
}

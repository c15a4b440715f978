#include "client/http/Globals.h"
#include "devices/ReceiverManager.h"
#include "platform/ServiceControl.h"
#include "service/ServiceHost.h"

int win32tmain(int argc, char** argv) {
  // Stop signals are read by a watcher thread only, never delivered to a random thread.
  Platform::BlockStopSignals();
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  ServiceHostParts parts;
  parts.serviceControl = control.get();
  parts.makeClientLibrary = [] { return std::static_pointer_cast<void>(std::make_shared<Voxlet::Globals>()); };
  parts.makeManager = [](CReceiverServiceSettings& settings) -> std::unique_ptr<IServiceManager> {
    ManagerEnvironment environment;
    SpoolingReceivers spooling = OpenSpoolingReceivers(SpoolDirectorySetting(), SpoolMaxAgeDaysSetting());
    environment.makeReceiver = std::move(spooling.makeReceiver);
    environment.claimState = std::move(spooling.claimState);
    environment.reportSpool = std::move(spooling.report);
    return std::make_unique<CReceiverManager>(&settings, std::move(environment));
  };
  return ReceiverServiceMain(argc, argv, parts);
}

// The service the SCM tests install, built from the platform layer alone. Its service name is
// its file's name without ".exe" (the tests install copies of it under names of their own). It
// runs through the platform's dispatcher until it is stopped:
// - once it has reported SERVICE_RUNNING it sets the event "Global\<name>.running";
// - every control it gets is appended, as its number, to "<name>.controls" beside it;
// - stop and shutdown end it, an interrogation is answered, anything else is refused (120);
// - after it reported SERVICE_STOPPED it reports STOP_PENDING once more (a late report racing
//   the end) and writes the state the SCM then gives for it, as a number, to "<name>.final".
// Exit status 0 when the dispatcher ran it; 1 when it could not (not started by the SCM), with
// the reason on standard error.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/ServiceControl.h"
#include "platform/WaitEvent.h"

namespace {

// The program's path without ".exe".
std::string WithoutExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  return dot == std::string::npos || path.find('\\', dot) != std::string::npos ? path : path.substr(0, dot);
}

void SignalEvent(const std::string& name) {
  if (HANDLE event = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
    ::SetEvent(event);
    ::CloseHandle(event);
  }
}

}  // namespace

int main() {
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  std::string path, error;
  if (!control->ModulePath(path, error)) {
    std::fprintf(stderr, "test service: %s\n", error.c_str());
    return 2;
  }
  const std::string base = WithoutExtension(path);
  const std::string name = base.substr(base.rfind('\\') + 1);

  ReceiverService::CWaitEvent stop;
  const auto serviceMain = [&] {
    std::string reason;
    if (control->ReportStatus(Platform::kServiceRunning, 0, reason)) SignalEvent("Global\\" + name + ".running");
    stop.Wait(-1);
    control->ReportStatus(Platform::kServiceStopped, 0, reason);
    control->ReportStatus(Platform::kServiceStopPending, 3000, reason);
    uint32_t state = 0;
    if (control->QueryState(name, state, reason)) std::ofstream(base + ".final", std::ios::binary) << state;
  };
  // The SCM calls it on the dispatcher's thread, one control at a time.
  const auto handler = [&](const Platform::ServiceControlRequest& request) -> uint32_t {
    const uint32_t code = request.control;
    std::ofstream(base + ".controls", std::ios::app | std::ios::binary) << code << "\n";
    std::string reason;
    switch (code) {
      case Platform::kControlStop:
      case Platform::kControlShutdown:
        control->ReportStatus(Platform::kServiceStopPending, 3000, reason);
        stop.Set();
        return 0;
      case Platform::kControlInterrogate:
        return 0;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  };
  if (!control->RunDispatcher(name, serviceMain, handler, error)) {
    std::fprintf(stderr, "test service %s: %s\n", name.c_str(), error.c_str());
    return 1;
  }
  return 0;
}

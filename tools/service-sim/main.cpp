// ovanta-service-sim: plays the software service (session manager) on loopback for the hardware
// service, from a scenario file, and prints what it received when it stops.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/service-sim/ServiceSimulator.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: ovanta-service-sim [--port N] [--scenario FILE] [--seconds S]\n"
               "  --port N        port on 127.0.0.1 (default 8630; 0 picks a free one)\n"
               "  --scenario FILE the scenario to play (default: the sample classroom)\n"
               "  --seconds S     stop after S seconds (default: run until SIGINT or SIGTERM)\n");
}

}  // namespace

int main(int argc, char** argv) {
  int port = 8630;
  int seconds = 0;
  std::string scenarioPath = OVANTA_SERVICE_SIM_DATA "/classroom.scenario";
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (!std::strcmp(argv[i], "--port") && hasValue) {
      port = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--scenario") && hasValue) {
      scenarioPath = argv[++i];
    } else if (!std::strcmp(argv[i], "--seconds") && hasValue) {
      seconds = std::atoi(argv[++i]);
    } else {
      Usage();
      return 2;
    }
  }
  if (port < 0 || port > 65535) {
    Usage();
    return 2;
  }

  std::string error;
  auto scenario = ServiceSim::LoadScenario(scenarioPath, error);
  if (!scenario) {
    std::fprintf(stderr, "ovanta-service-sim: %s\n", error.c_str());
    return 1;
  }

  // The signals are taken synchronously below: block them before any thread starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ServiceSim::ServiceSimulator simulator(std::move(*scenario));
  if (!simulator.Start(static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "ovanta-service-sim: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::printf("ovanta-service-sim listening on %s (port %u), scenario %s\n", simulator.Uri().c_str(),
              static_cast<unsigned>(simulator.Port()), scenarioPath.c_str());
  std::fflush(stdout);

  if (seconds > 0) alarm(static_cast<unsigned>(seconds));
  int received = 0;
  sigwait(&stopSignals, &received);

  simulator.Stop();
  std::printf("%s", simulator.Manager().Summary().c_str());
  return 0;
}

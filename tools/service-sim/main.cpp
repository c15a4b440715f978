// ovanta-service-sim: plays the software service (session manager) on loopback for the hardware
// service, from a scenario file, and prints what it received when it stops.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/service-sim/ServiceSimulator.h"

namespace {

void Usage() {
  std::fprintf(
      stderr,
      "usage: ovanta-service-sim [--port N] [--scenario FILE] [--seconds S] [--running C[/A[/Q]]]\n"
      "                          [--ledger PATH]\n"
      "  --port N        port on 127.0.0.1 (default 8630; 0 picks a free one)\n"
      "  --scenario FILE the scenario to play (default: the sample classroom)\n"
      "  --seconds S     stop after S seconds (default: run until SIGINT or SIGTERM)\n"
      "  --running C/A/Q start with class C running, its assessment A and question Q (as after a\n"
      "                  restart in the middle of a lesson; A and Q may be left out)\n"
      "  --ledger PATH   append one line per submission request, as it is answered, with a single write:\n"
      "                  MS OUTCOME STATUS DELAY-MS ENDPOINT STUDENT MAC CLASS ASSESSMENT QUESTION DIGEST ANSWER...\n"
      "                  OUTCOME accepted, duplicate (the same document from the same endpoint again),\n"
      "                  refused (4xx), unavailable (503) or reset (closed unanswered); \"-\" for empty fields\n"
      "Control lines (standard input, or POST /control): activate-class [CLASS], switch-class CLASS,\n"
      "  deactivate-class [logoff] [next-anonymous], activate-assessment [ID], deactivate-assessment,\n"
      "  activate-question ID|NUMBER, next-question, deactivate-question, summary, results, state, help,\n"
      "  fault unavailable|reset on|off, fault slow SECONDS|off, fault refuse STUDENT-OR-MAC|off, fault clear,\n"
      "  quit (standard input only); see README.md.\n");
}

// Reads control lines from standard input until its end or until `stopFd` becomes readable.
void ReadControlLines(ServiceSim::ServiceSimulator& simulator, int stopFd) {
  std::string buffer;
  for (;;) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) return;
    if (!fds[1].revents) continue;
    char chunk[4096];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) return;  // no more input: the simulator runs on
    buffer.append(chunk, static_cast<size_t>(n));
    for (size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      const size_t start = line.find_first_not_of(" \t\r");
      if (start == std::string::npos || line[start] == '#') continue;
      line = line.substr(start, line.find_last_not_of(" \t\r") - start + 1);
      if (line == "quit") {
        kill(getpid(), SIGTERM);
        return;
      }
      bool ok = true;
      const std::string reply = simulator.Control(line, ok);
      std::fputs(reply.c_str(), ok ? stdout : stderr);
      std::fflush(ok ? stdout : stderr);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 8630;
  int seconds = 0;
  std::string scenarioPath = OVANTA_SERVICE_SIM_DATA "/classroom.scenario";
  std::string running;
  std::string ledger;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (!std::strcmp(argv[i], "--port") && hasValue) {
      port = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--scenario") && hasValue) {
      scenarioPath = argv[++i];
    } else if (!std::strcmp(argv[i], "--seconds") && hasValue) {
      seconds = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--running") && hasValue) {
      running = argv[++i];
    } else if (!std::strcmp(argv[i], "--ledger") && hasValue) {
      ledger = argv[++i];
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
  if (!running.empty()) {
    if (!ServiceSim::SetRunning(*scenario, running)) {
      Usage();
      return 2;
    }
    if (const std::string wrong = ServiceSim::CheckRunning(*scenario); !wrong.empty()) {
      std::fprintf(stderr, "ovanta-service-sim: --running %s: %s\n", running.c_str(), wrong.c_str());
      return 1;
    }
  }

  // The signals are taken synchronously below: block them before any thread starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ServiceSim::ServiceSimulator simulator(std::move(*scenario));
  if (!ledger.empty() && !simulator.OpenLedger(ledger)) {
    std::fprintf(stderr, "ovanta-service-sim: cannot open the ledger %s: %s\n", ledger.c_str(), std::strerror(errno));
    return 1;
  }
  if (!simulator.Start(static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "ovanta-service-sim: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::printf("ovanta-service-sim listening on %s (port %u), scenario %s\n", simulator.Uri().c_str(),
              static_cast<unsigned>(simulator.Port()), scenarioPath.c_str());
  std::fflush(stdout);

  simulator.OnOutput([](const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
  });
  int stopPipe[2];
  if (pipe(stopPipe) != 0) return 1;
  std::thread control([&] { ReadControlLines(simulator, stopPipe[0]); });

  if (seconds > 0) alarm(static_cast<unsigned>(seconds));
  int received = 0;
  sigwait(&stopSignals, &received);

  (void)!write(stopPipe[1], "x", 1);
  control.join();
  simulator.Stop();
  std::printf("%s%s", simulator.Manager().Summary().c_str(), simulator.Manager().ResultsSummary().c_str());
  return 0;
}

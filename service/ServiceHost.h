#pragma once
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "log/ReceiverServiceSettings.h"
#include "platform/ServiceControl.h"
#include "service/ServiceEvents.h"
#include "service/StatusLine.h"

inline constexpr const char* kServiceName = "Ovanta Hardware";
// The services that must run before this one, where the service manager keeps such a list
// (the SCM): the network and the product's software service.
inline constexpr const char* kServiceDependencies[] = {"TCPIP", "Voxlet"};
inline constexpr const char* kServiceDescription =
    "Manages your genuine ZORIN Ovanta hardware. If this service is stopped, your ZORIN Ovanta receiver and "
    "clickers will not be available to play games or answer questions asked in Veldra software or Microsoft "
    "PowerPoint.";

// What the process entry is built from: the service manager to talk to, and how the receiver
// manager is made (tests put fakes in both).
struct ServiceHostParts {
  Platform::IServiceControl* serviceControl = nullptr;
  std::function<std::unique_ptr<IServiceManager>(CReceiverServiceSettings&)> makeManager;
  // The client library's process-wide object: made first, destroyed after the logger.
  std::function<std::shared_ptr<void>()> makeClientLibrary;
  // Where the management switches (-i, -u, -start, -stop) print how they went; null for nowhere.
  std::FILE* outcome = stderr;
};

// What the executable says about itself on --version.
struct BuildInfo {
  const char* version = "";
  const char* commit = "unknown";  // the git commit the executable was built from
};

// The switches answered on the terminal before anything else starts: "-h" and "--help" print
// the usage on out, "--version" the version and commit (status 0), "--check-config" the
// settings in effect (CheckConfiguration); an argv[1] that looks like
// a switch ("-...") but is none the service knows prints the usage on err (status 2). Nothing,
// and nothing printed, for every other command line: the process goes on to ReceiverServiceMain.
std::optional<int> AnswerOnTerminal(int argc, char** argv, const BuildInfo& build, std::FILE* out, std::FILE* err);

// The process: settings, manager, logger, the command line, then shut-down in reverse.
// Returns 0, or -1 when the service is not installed or the dispatcher failed.
int ReceiverServiceMain(int argc, char** argv, const ServiceHostParts& parts);

// Carries out a command-line switch in argv[1], or runs as the service.
int ServiceEntry(int argc, char** argv, IServiceEvents* sink, Platform::IServiceControl& control);

// The service's control handler: answers 0, or 120 for a control it does not handle. Device
// and power events come this way on Windows; on Linux the manager watches udev and logind itself.
uint32_t ServiceControlHandler(const Platform::ServiceControlRequest& request);

// How the service is doing, from the receiver manager (any thread, once a second): shown as the
// service manager's status line while the service runs (CStatusLine); nothing otherwise.
void PublishServiceStatus(const ServiceStatus& status);

// The process entry of the service executable.
int win32tmain(int argc, char** argv);

#include "service/ServiceHost.h"

#include <strings.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "packaging/InstalledFiles.h"
#include "platform/FilePath.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"
#include "service/ConfigCheck.h"

namespace {

// Process-wide state of the service host.
struct HostState {
  IServiceEvents* sink = nullptr;
  Platform::IServiceControl* control = nullptr;
  // The status record: written by the service main and the handler, as the service manager
  // serialises them.
  std::atomic<uint32_t> currentState{Platform::kServiceStopped};
  std::atomic<uint32_t> waitHint{0};
  // Where a management switch says how it went (standard error): the default log mask drops
  // the diagnostic lines, so the log alone would leave a failed install unexplained.
  std::FILE* outcome = stderr;
  // The status line while the service runs; null before and after.
  std::mutex statusLock;
  std::unique_ptr<CStatusLine> statusLine;
};
HostState g_host;

// The status line for the service manager in use: its own line where it shows one, else a log
// line when receivers or the connection change.
void StartStatusLine() {
  Platform::IServiceControl* control = g_host.control;
  CStatusLine::Outputs outputs;
  if (control->ShowsStatusText())
    outputs.status = [control](const std::string& text) { control->ReportStatusText(text); };
  else
    outputs.milestone = [](const std::string& text) { OV_LOG(kLogMilestone, "Status: %s", text.c_str()); };
  std::lock_guard<std::mutex> guard(g_host.statusLock);
  g_host.statusLine = std::make_unique<CStatusLine>(std::move(outputs));
}

// From here on the manager's reports go nowhere (the service is stopping: the manager's own
// line says so).
void StopStatusLine() {
  std::lock_guard<std::mutex> guard(g_host.statusLock);
  g_host.statusLine.reset();
}

constexpr const char* kUsage = "Usage: '-i' install, '-u' uninstall, '-d' debug";
constexpr uint32_t kErrorCallNotImplemented = 120;

// The switches that select an operation in argv[1].
constexpr const char* kOperationSwitches[] = {"-i", "-u", "-d", "-start", "-stop"};

constexpr const char* kTerminalUsage =
    "Usage: ovanta-hardware [-i | -u | -d | -start | -stop] [-nologging]\n"
    "       ovanta-hardware -h | --help | --version | --check-config\n"
    "\n"
    "  -i          install the service (on Linux the systemd unit ovanta-hardware.service,\n"
    "              on Windows the service \"Ovanta Hardware\"), enable and start it\n"
    "  -u          stop the service and remove it\n"
    "  -d          run in the console until Ctrl-C (or SIGTERM); the log is also written to\n"
    "              standard error\n"
    "  -start      start the installed service\n"
    "  -stop       stop the installed service (waits up to 2 seconds)\n"
    "  -nologging  (in any position) write no log for this process\n"
    "  -h, --help  print this help\n"
    "  --version   print the version and the commit it was built from\n"
    "  --check-config\n"
    "              read the settings as the service would and print each with its source;\n"
    "              one line per problem on standard error, exit status 1 when there is one\n"
    "\n"
    "Only the first argument selects an operation; the case of -i, -u, -d, -start and -stop does\n"
    "not matter, the other switches are taken only as written. Without one the program runs as\n"
    "the service, which only the service manager (systemd, Windows' service control manager)\n"
    "does. The management switches print how they went on standard error.\n"
    "See %s.\n";

// One outcome of a management switch: logged as always, and printed on the outcome stream.
void Outcome(const std::string& text) {
  OV_LOG(kLogDiagnostic, "%s", text.c_str());
  if (g_host.outcome) {
    std::fprintf(g_host.outcome, "ovanta-hardware: %s\n", text.c_str());
    std::fflush(g_host.outcome);
  }
}

bool SameSwitch(const char* arg, const char* sw) { return strcasecmp(arg, sw) == 0; }

// Whether the command line runs the service in the console.
bool DebugMode(int argc, char** argv) { return argc > 1 && argv[1] && SameSwitch(argv[1], "-d"); }

std::string Absolute(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(Platform::Utf8Path(path), ec);
  return ec ? path : Platform::Utf8Text(absolute.lexically_normal());
}

bool AnyArgumentIs(int argc, char** argv, std::initializer_list<const char*> switches) {
  for (int i = 0; i < argc; ++i)
    for (const char* sw : switches)
      if (argv[i] && strcmp(argv[i], sw) == 0) return true;
  return false;
}

bool ReportServiceStatus(uint32_t state, uint32_t waitHintMs) {
  g_host.currentState = state;
  g_host.waitHint = waitHintMs;
  std::string error;
  if (!g_host.control->ReportStatus(state, waitHintMs, error)) {
    OV_LOG(kLogDiagnostic, "SetServiceStatus failed = %s", error.c_str());
    return false;
  }
  switch (state) {
    case Platform::kServiceStopped:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_STOPPED");
      break;
    case Platform::kServiceStartPending:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_START_PENDING checkpoint %d, wait %d", 0, waitHintMs);
      break;
    case Platform::kServiceStopPending:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_STOP_PENDING checkpoint %d, wait %d", 0, waitHintMs);
      break;
    case Platform::kServiceRunning:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_RUNNING");
      break;
    case Platform::kServiceContinuePending:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_CONTINUE_PENDING checkpoint %d, wait %d", 0, waitHintMs);
      break;
    case Platform::kServicePausePending:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_PAUSE_PENDING checkpoint %d, wait %d", 0, waitHintMs);
      break;
    case Platform::kServicePaused:
      OV_LOG(kLogDiagnostic, "Status reported: SERVICE_PAUSED");
      break;
    default:
      break;
  }
  return true;
}

void ReportUnchanged() { ReportServiceStatus(g_host.currentState.load(), g_host.waitHint.load()); }

bool IsInstalled() {
  Platform::IServiceControl& c = *g_host.control;
  std::string error;
  if (!c.Exists(kServiceName, error)) {
    // The service manager could not be asked at all, or the unit is not there.
    if (error.empty()) error = "The specified service does not exist as an installed service.";
    OV_LOG(kLogDiagnostic, "OpenService failed = %s", error.c_str());
    return false;
  }
  std::string modulePath, configured;
  if (c.ModulePath(modulePath, error) && c.ConfiguredBinaryPath(kServiceName, configured, error) &&
      !c.SamePath(configured, modulePath))
    OV_LOG(kLogDiagnostic, "The service is installed, but in a different location");
  return true;
}

void StopService() {
  Platform::IServiceControl& c = *g_host.control;
  std::string error;
  if (!c.Exists(kServiceName, error)) {
    if (error.empty()) error = "The specified service does not exist as an installed service.";
    Outcome("OpenService failed = " + error);
    return;
  }
  uint32_t state = 0;
  if (!c.QueryState(kServiceName, state, error)) {
    Outcome("QueryServiceStatus failed = " + error);
    return;
  }
  if (state == Platform::kServiceStopped) {
    Outcome("The service is not running");
    return;
  }
  OV_LOG(kLogDiagnostic, "Stopping the service");
  if (!c.ControlStop(kServiceName, error)) {
    Outcome("ControlService failed = " + error);
    return;
  }
  // The stop control answers with the service's new state.
  if (!c.QueryState(kServiceName, state, error)) state = Platform::kServiceStopPending;
  for (int i = 0; i < 4 && state == Platform::kServiceStopPending; ++i) {
    c.SleepMs(500);
    if (!c.QueryState(kServiceName, state, error)) break;
  }
  Outcome(state == Platform::kServiceStopped ? "The service stopped successfully" : "The service failed to stop");
}

void StartService() {
  // The service process about to start owns the log file; this process logs no more.
  delete g_pLogger.exchange(nullptr);
  Platform::IServiceControl& c = *g_host.control;
  std::string error;
  uint32_t state = 0;
  if (!c.Exists(kServiceName, error)) {
    Outcome("The service is not installed");
    return;
  }
  if (!c.QueryState(kServiceName, state, error)) {
    Outcome("QueryServiceStatus failed = " + error);
    return;
  }
  if (state == Platform::kServiceRunning)
    Outcome("The service is already running");
  else if (c.Start(kServiceName, error))
    Outcome("The service is starting");
  else
    Outcome("StartService failed = " + error);
}

void ReinstallInPlace() {
  StopService();
  Platform::IServiceControl& c = *g_host.control;
  std::string error, modulePath, configured;
  if (!c.ConfiguredBinaryPath(kServiceName, configured, error)) {
    Outcome("OpenService failed = " + error);
  } else if (c.ModulePath(modulePath, error) && !c.SamePath(modulePath, configured)) {
    if (c.ChangeBinaryPath(kServiceName, modulePath, error))
      Outcome("The service now runs " + modulePath);
    else
      Outcome("ChangeServiceConfig failed = " + error);
  }
  StartService();
}

void InstallService() {
  Platform::IServiceControl& c = *g_host.control;
  std::string error, modulePath;
  if (!c.ModulePath(modulePath, error)) {
    Outcome("GetModuleFileName failed");
    return;
  }
  if (c.Exists(kServiceName, error)) {
    Outcome("The service is already installed");
    ReinstallInPlace();
    return;
  }
  // The unit and the udev rules are the files the package installs; the SCM takes the
  // dependencies.
  Platform::ServiceConfig config{kServiceName,
                                 modulePath,
                                 kServiceDescription,
                                 Packaging::kUdevRules,
                                 Packaging::kUnitTemplate,
                                 {kServiceDependencies[0], kServiceDependencies[1]}};
  if (!c.Create(config, error)) {
    // Nothing was installed: there is nothing to start.
    Outcome("CreateService failed = " + error);
    return;
  }
  Outcome("The service installed successfully");
  StartService();
}

void UninstallService() {
  std::string error;
  if (!g_host.control->Exists(kServiceName, error)) {
    Outcome("The service is not installed");
    return;
  }
  StopService();
  if (g_host.control->Delete(kServiceName, error))
    Outcome("The service uninstalled successfully");
  else
    Outcome("DeleteService failed = " + error);
}

void DebugService() {
  // Console mode: Ctrl-C (or SIGTERM) stops the manager, which makes Run return.
  Platform::StopSignalWatcher watcher([](int signal) {
    if (Platform::ConsoleIsClosing(signal))
      OV_LOG(kLogMilestone,
             "The console window is closing: Windows ends the program within 5 seconds; the goodbyes to the "
             "software service may be cut short.");
    g_host.sink->Stop();
  });
  StartStatusLine();
  g_host.sink->Run();
  StopStatusLine();
}

void ServiceMain() {
  g_host.currentState = Platform::kServiceStartPending;
  g_host.waitHint = 0;
  ReportServiceStatus(Platform::kServiceRunning, 0);
  StartStatusLine();
  g_host.sink->Run();
  StopStatusLine();
  ReportServiceStatus(Platform::kServiceStopped, 0);
}

}  // namespace

void PublishServiceStatus(const ServiceStatus& status) {
  std::lock_guard<std::mutex> guard(g_host.statusLock);
  if (g_host.statusLine) g_host.statusLine->Update(status);
}

uint32_t ServiceControlHandler(const Platform::ServiceControlRequest& request) {
  const uint32_t control = request.control;
  switch (control) {
    case Platform::kControlShutdown:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_SHUTDOWN");
      [[fallthrough]];
    case Platform::kControlStop:
      if (control == Platform::kControlStop) OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_STOP");
      StopStatusLine();
      ReportServiceStatus(Platform::kServiceStopPending, 3000);
      g_host.sink->Stop();
      return 0;
    case Platform::kControlInterrogate:
      OV_LOG(kLogDiagnostic, "SERVICE_CONTROL_INTERROGATE");
      ReportUnchanged();
      return 0;
    case Platform::kControlDeviceEvent:
      ReportUnchanged();
      // An event without data says nothing about a device.
      if (request.hasDeviceData)
        g_host.sink->OnDeviceEvent(DeviceEventFromPath(static_cast<DeviceAction>(request.eventType),
                                                       static_cast<DeviceType>(request.deviceType),
                                                       request.deviceName));
      return 0;
    case Platform::kControlPowerEvent:
      ReportUnchanged();
      g_host.sink->OnPowerEvent(static_cast<PowerEvent>(request.eventType));
      return 0;
    default:
      ReportUnchanged();
      return kErrorCallNotImplemented;
  }
}

int ServiceEntry(int argc, char** argv, IServiceEvents* sink, Platform::IServiceControl& control) {
  g_host.sink = sink;
  g_host.control = &control;
  if (argc > 1 && argv[1]) {
    const char* sw = argv[1];
    struct Operation {
      const char* name;
      const char* line;
      void (*run)();
    };
    static const Operation operations[] = {
        {"-i", "Command Line:-->%s<-- ...Installing the service", InstallService},
        {"-u", "Command Line:-->%s<-- ...Uninstalling the service", UninstallService},
        {"-d", "Command Line:-->%s<-- ...Debugging the service", DebugService},
        {"-start", "Command Line:-->%s<-- ...Starting the service", StartService},
        {"-stop", "Command Line:-->%s<-- ...Stopping the service", StopService},
    };
    for (const Operation& op : operations) {
      if (!SameSwitch(sw, op.name)) continue;
      OV_LOG(kLogDiagnostic, op.line, sw);
      op.run();
      return 0;
    }
  }
  if (IsInstalled()) {
    std::string error;
    if (control.RunDispatcher(kServiceName, ServiceMain, ServiceControlHandler, error)) return 0;
    OV_LOG(kLogDiagnostic, "StartServiceCtrlDispatcher failed = %s", error.c_str());
    OV_LOG(kLogDiagnostic, "To run the service in the debugger use '-d'.  %s", kUsage);
    return -1;
  }
  OV_LOG(kLogDiagnostic, "The service is not installed.  Exiting.  %s", kUsage);
  return -1;
}

std::optional<int> AnswerOnTerminal(int argc, char** argv, const BuildInfo& build, std::FILE* out, std::FILE* err) {
  if (argc < 2 || !argv[1] || argv[1][0] != '-') return std::nullopt;
  const std::string arg = argv[1];
  if (arg == "--check-config") return CheckConfiguration(out, err);
  if (arg == "-h" || arg == "--help" || arg == "--version") {
    if (arg == "--version")
      std::fprintf(out, "ovanta-hardware %s (commit %s)\n", build.version, build.commit);
    else
      std::fprintf(out, kTerminalUsage, Platform::ManualReference());
    // Help that did not reach its reader is a failure (a full disk, a closed pipe).
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
  }
  // "-nologging" is looked for case-sensitively, the operations without regard to case.
  if (arg == "-nologging") return std::nullopt;
  for (const char* sw : kOperationSwitches)
    if (SameSwitch(arg.c_str(), sw)) return std::nullopt;
  std::fprintf(err, "ovanta-hardware: unknown switch '%s'\n", arg.c_str());
  std::fprintf(err, kTerminalUsage, Platform::ManualReference());
  return 2;
}

int ReceiverServiceMain(int argc, char** argv, const ServiceHostParts& parts) {
  std::shared_ptr<void> clientLibrary = parts.makeClientLibrary ? parts.makeClientLibrary() : nullptr;
  CReceiverServiceSettings settings;
  settings.Load();
  std::unique_ptr<IServiceManager> manager = parts.makeManager(settings);
  g_host.outcome = parts.outcome;

  const bool console = DebugMode(argc, argv);
  // A console window that closes waits for the settings and the last log line below.
  if (console) Platform::HoldConsoleClose();
  std::string logInUse = "none (-nologging)";
  if (!AnyArgumentIs(argc, argv, {"-nologging"})) {
    auto* logger = new CLogger(manager.get());
    g_pLogger = logger;
    // Console mode shows the log on standard error as well.
    if (console) logger->SetEcho(true);
    bool open = logger->Open(settings.GetLogFileName());
    if (!open) {
      const std::string fallback = CReceiverServiceSettings::DefaultLogPath();
      open = logger->Open(fallback);
      settings.SetLogFileName(fallback);
      settings.SaveLogPath(fallback);
    }
    logInUse = Absolute(settings.GetLogFileName()) + (open ? "" : " (cannot be opened)");
    logger->SetMask(settings.GetLogFlags());
  }
  // Before the first log line reaches the console: which files this run uses.
  if (console)
    std::fprintf(stderr, "ovanta-hardware: log file %s, registry store %s\n", logInUse.c_str(),
                 Absolute(Platform::RegistryFilePath()).c_str());
  OV_LOG(kLogMilestone, "Receiver service starting.");

  const int result = ServiceEntry(argc, argv, manager.get(), *parts.serviceControl);

  if (!AnyArgumentIs(argc, argv, {"-start", "-stop", "-i", "-u"})) {
    OV_LOG(kLogDiagnostic, "Saving settings.");
    settings.SaveLogPath(settings.GetLogFileName());
    settings.SaveLogFlags(settings.GetLogFlags());
  }
  if (CLogger* logger = g_pLogger.load()) {
    OV_LOG(kLogMilestone, "Receiver service stopped.");
    g_pLogger = nullptr;
    delete logger;
  }
  if (console) Platform::ReleaseConsoleClose();
  clientLibrary.reset();
  manager.reset();
  g_host.sink = nullptr;
  return result;
}

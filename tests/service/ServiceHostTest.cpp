#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/SystemServices.h"
#include "service/ServiceHost.h"
#include "tests/service/IdleManager.h"
#include "tests/service/TestFiles.h"

namespace {

using namespace Platform;

// The service manager as a script: what exists, what each call answers, what was asked.
class FakeServiceControl : public IServiceControl {
 public:
  // "" (not installed), "stopped", "running", "slow" (running, and stays stop-pending when told
  // to stop) or "broken" (installed, but the dispatcher cannot be reached).
  explicit FakeServiceControl(const std::string& service)
      : installed(!service.empty()), dispatcherFails(service == "broken") {
    if (service == "running" || service == "slow") state = kServiceRunning, configuredPath = "/opt/old/ovanta-hardware";
    if (service == "slow") stateAfterStop = kServiceStopPending;
  }
  bool installed, dispatcherFails;
  std::string createError;  // when not empty, Create fails with it
  std::string configuredPath = "/usr/sbin/ovanta-hardware";
  uint32_t state = kServiceStopped;
  uint32_t stateAfterStop = kServiceStopped;  // what the stop control leads to
  std::vector<std::string> calls;
  std::optional<ServiceConfig> created;
  std::vector<uint32_t> reported;
  std::vector<uint32_t> answers;  // the handler's answers to the controls other than stop
  std::mutex reportLock;
  std::condition_variable reportedChanged;

  bool ModulePath(std::string& path, std::string&) override { return path = "/usr/sbin/ovanta-hardware", true; }
  bool Exists(const std::string&, std::string&) override { return installed; }
  bool ConfiguredBinaryPath(const std::string&, std::string& path, std::string& error) override {
    if (!installed) error = "no such unit";
    path = configuredPath;
    return installed;
  }
  bool Did(const std::string& call) { return calls.push_back(call), true; }
  bool Create(const ServiceConfig& config, std::string& error) override {
    if (!createError.empty()) return error = createError, false;
    created = config;
    return installed = true, Did("create " + config.binaryPath);
  }
  bool ChangeBinaryPath(const std::string&, const std::string& path, std::string&) override {
    return Did("change " + path);
  }
  bool Delete(const std::string&, std::string&) override { return Did("delete"); }
  bool QueryState(const std::string&, uint32_t& s, std::string&) override { return s = state, true; }
  bool Start(const std::string&, std::string&) override { return Did("start"); }
  bool ControlStop(const std::string&, std::string&) override { return state = kServiceStopPending, Did("stop"); }
  bool ReportStatus(uint32_t s, uint32_t, std::string&) override {
    std::lock_guard<std::mutex> guard(reportLock);
    reported.push_back(s);
    reportedChanged.notify_all();
    return true;
  }
  bool RunDispatcher(const std::string&, const std::function<void()>& serviceMain,
                     const ServiceControlCallback& handler, std::string& error) override {
    Did("dispatcher");
    if (dispatcherFails) return error = "The service process could not connect to the service controller.", false;
    std::jthread main(serviceMain);
    {  // like the service manager, send controls only to a service that said it runs
      std::unique_lock<std::mutex> lock(reportLock);
      reportedChanged.wait(lock, [&] { return !reported.empty(); });
    }
    // What the SCM may send besides: an interrogation, a control the service does not take, a
    // receiver plugged in, a device event without data, and a sleep announced.
    ServiceControlRequest arrival = ControlRequest(kControlDeviceEvent, 0x8000);
    arrival.hasDeviceData = true;
    arrival.deviceType = 5;
    arrival.deviceName = "\\\\?\\USB#VID_16D3&PID_3000#R00042#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    answers = {handler(ControlRequest(kControlInterrogate)), handler(ControlRequest(kControlPause)), handler(arrival),
               handler(ControlRequest(kControlDeviceEvent, 0x8004)), handler(ControlRequest(kControlPowerEvent, 4))};
    handler(ControlRequest(kControlStop));  // the one control systemd's stop signals become
    return true;
  }
  void SleepMs(uint32_t) override { Did("sleep"), state = state == kServiceStopPending ? stateAfterStop : state; }
};

// The program's name and `args`, as main gets them.
std::vector<char*> Argv(std::vector<std::string>& args) {
  args.insert(args.begin(), "ovanta-hardware");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// A process run of the service host with a scripted service manager, its own registry store
// and log; the device and power events that reach the receiver manager are kept.
struct HostRun {
  class RecordingManager : public IdleManager {
   public:
    explicit RecordingManager(HostRun& run) : m_run(run) {}
    void OnDeviceEvent(const DeviceEvent& event) override { m_run.devices.push_back(event); }
    void OnPowerEvent(PowerEvent event) override { m_run.power.push_back(event); }

   private:
    HostRun& m_run;
  };

  explicit HostRun(const std::string& service = "stopped") : control(service) {
    WriteFile(dir.File("registry.ini"),
              "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" + logPath + "\nLogFlags=17\n");
    setenv("OVANTA_SYSTEM_DIR", dir.File("system").c_str(), 1);
  }
  ~HostRun() {
    unsetenv("OVANTA_SYSTEM_DIR");
    std::fclose(outcome);
  }
  int Run(std::vector<std::string> args) {
    std::vector<char*> argv = Argv(args);
    ServiceHostParts parts;
    parts.serviceControl = &control;
    parts.outcome = outcome;
    parts.makeManager = [this](CReceiverServiceSettings&) { return std::make_unique<RecordingManager>(*this); };
    return ReceiverServiceMain(static_cast<int>(argv.size() - 1), argv.data(), parts);
  }
  bool Logged(const std::string& text) const { return ReadFile(logPath).find(text) != std::string::npos; }
  // What the run printed on its outcome stream.
  std::string Printed() const {
    std::string text;
    std::rewind(outcome);
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, outcome)) > 0;) text.append(buffer, n);
    return text;
  }
  // Settings are written back under the preference store's key.
  bool SettingsSaved() const {
    return ReadFile(dir.File("registry.ini")).find("HardwareService\\com.vantrel.Preferences]") != std::string::npos;
  }

  TempDir dir;
  ScopedRegistry registry{dir.File("registry.ini")};
  std::string logPath = dir.File("service.log");
  FakeServiceControl control;
  std::vector<DeviceEvent> devices;
  std::vector<PowerEvent> power;
  std::FILE* outcome = std::tmpfile();
};

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(by, start), text.size());
    parts.push_back(text.substr(start, end - start));
  }
  return parts;
}

// The command line and the service's state against the exit status, the calls to the service
// manager, the log and the settings. Any lower-case management switch anywhere on the command
// line suppresses the save, but a switch counts only in the first argument; starting the
// installed service hands the log to that process.
TEST(ServiceHost, CommandLinesAgainstTheServiceManager) {
  struct Case {
    const char* args;     // split at spaces
    const char* service;  // see FakeServiceControl
    int status;
    bool saved;
    const char* calls;                        // joined by ", "
    std::string logged = "", notLogged = "";  // lines joined by '|', `logged` in the order written
  };
  const std::string usage = "Usage: '-i' install, '-u' uninstall, '-d' debug";
  const std::string pending = "Status reported: SERVICE_STOP_PENDING checkpoint 0, wait 3000";
  const Case cases[] = {
      {"", "", -1, true, "",
       "Receiver service starting.|The service is not installed.  Exiting.  " + usage +
           "|Saving settings.|Receiver service stopped."},
      {"", "broken", -1, true, "dispatcher",
       "StartServiceCtrlDispatcher failed = The service process could not connect to the service controller.|"
       "To run the service in the debugger use '-d'.  " +
           usage},
      {"", "stopped", 0, true, "dispatcher",
       "SERVICE_CONTROL_INTERROGATE|SERVICE_CONTROL_STOP|" + pending + "|Status reported: SERVICE_STOPPED"},
      {"-I", "", 0, true, "create /usr/sbin/ovanta-hardware, start",
       "Command Line:-->-I<-- ...Installing the service|The service installed successfully"},
      {"-i", "", 0, false, "create /usr/sbin/ovanta-hardware, start", "", "Receiver service stopped."},
      {"-i", "running", 0, false, "stop, sleep, change /usr/sbin/ovanta-hardware, start",
       "The service is already installed|Stopping the service|The service stopped successfully"},
      {"x -stop", "stopped", 0, false, "dispatcher"},
      {"-STOP", "slow", 0, true, "stop, sleep, sleep, sleep, sleep", "The service failed to stop"},
      {"-u", "", 0, false, "", "Command Line:-->-u<-- ...Uninstalling the service|The service is not installed"},
      {"-u", "stopped", 0, false, "delete"},
      {"-u -nologging", "", 0, false, ""},
  };
  for (const Case& c : cases) {
    HostRun run(c.service);
    const std::vector<std::string> args = Split(c.args, ' ');
    const std::string name = std::string(c.args) + " (" + c.service + ")";
    EXPECT_EQ(run.Run(args), c.status) << name;
    EXPECT_EQ(run.SettingsSaved(), c.saved) << name;
    std::string calls;
    for (const std::string& call : run.control.calls) calls += (calls.empty() ? "" : ", ") + call;
    EXPECT_EQ(calls, c.calls) << name;
    const std::string log = ReadFile(run.logPath);
    size_t at = 0;
    for (const std::string& line : Split(c.logged, '|'))
      EXPECT_NE(at = log.find(line, at), std::string::npos) << name << ": " << line;
    for (const std::string& line : Split(c.notLogged, '|')) EXPECT_FALSE(run.Logged(line)) << name << ": " << line;
    EXPECT_EQ(std::filesystem::exists(run.logPath), args.size() < 2 || args[1] != "-nologging") << name;
    // The interrogation and the refused control report the status unchanged.
    const std::vector<uint32_t> ran = {kServiceRunning, kServiceRunning, kServiceRunning,     kServiceRunning,
                                       kServiceRunning, kServiceRunning, kServiceStopPending, kServiceStopped};
    const bool dispatched = c.status == 0 && std::string(c.calls) == "dispatcher";
    EXPECT_EQ(run.control.reported, dispatched ? ran : std::vector<uint32_t>{}) << name;
    const std::vector<uint32_t> answered = {0, 120, 0, 0, 0};
    EXPECT_EQ(run.control.answers, dispatched ? answered : std::vector<uint32_t>{}) << name;
    // The device event with data reaches the manager with the device read from its path; the
    // one without data does not; the power event does.
    ASSERT_EQ(run.devices.size(), dispatched ? 1u : 0u) << name;
    if (dispatched) {
      EXPECT_EQ(run.devices[0].action, DeviceAction::kArrival);
      EXPECT_EQ(run.devices[0].type, DeviceType::kInterface);
      EXPECT_EQ(run.devices[0].vendorId, 0x16D3);
      EXPECT_EQ(run.devices[0].productId, 0x3000);
      EXPECT_EQ(run.devices[0].serial, "R00042");
      EXPECT_EQ(run.power, std::vector<PowerEvent>{PowerEvent::kSuspend});
    }
  }
}

// Each management switch says on standard error how it went, success or failure and why, also
// where the log's default mask drops those lines or no log is written; the exit status stays 0.
// A run that is the service prints nothing there.
TEST(ServiceHost, ManagementSwitchesPrintTheirOutcome) {
  struct Case {
    const char* args;
    const char* service;
    const char* createError;
    const char* printed;
  };
  const Case cases[] = {
      {"-i", "", "", "The service installed successfully|The service is starting"},
      {"-i", "", "Access denied", "CreateService failed = Access denied"},
      {"-i -nologging", "", "Access denied", "CreateService failed = Access denied"},
      {"-i", "running", "",
       "The service is already installed|The service stopped successfully|"
       "The service now runs /usr/sbin/ovanta-hardware|The service is starting"},
      {"-u", "", "", "The service is not installed"},
      {"-u", "running", "", "The service stopped successfully|The service uninstalled successfully"},
      {"-start", "", "", "The service is not installed"},
      {"-start", "running", "", "The service is already running"},
      {"-START", "stopped", "", "The service is starting"},
      {"-stop", "stopped", "", "The service is not running"},
      {"-stop", "slow", "", "The service failed to stop"},
      {"-stop", "", "", "OpenService failed = The specified service does not exist as an installed service."},
      {"", "stopped", "", ""},
  };
  for (const Case& c : cases) {
    HostRun run(c.service);
    run.control.createError = c.createError;
    const std::string name = std::string(c.args) + " (" + c.service + ")";
    EXPECT_EQ(run.Run(Split(c.args, ' ')), 0) << name;
    std::string expected;
    for (const std::string& line : Split(c.printed, '|'))
      if (!line.empty()) expected += "ovanta-hardware: " + line + "\n";
    EXPECT_EQ(run.Printed(), expected) << name;
  }
}

// A device interface's path gives the device's ids and serial number; a path that lacks the
// parts gives none (the device is then no receiver), whatever the case of the letters.
TEST(ServiceHost, DeviceEventsReadTheDeviceFromItsInterfacePath) {
  struct Case {
    const char* path;
    uint16_t vendor, product;
    const char* serial;
  };
  const Case cases[] = {
      {"\\\\?\\USB#VID_16D3&PID_0051#R7#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0x16D3, 0x0051, "R7"},
      {"\\\\?\\usb#vid_16d3&pid_3000#abc", 0x16D3, 0x3000, "abc"},
      {"\\\\?\\USB#VID_16D3&PID_3000", 0, 0, ""},
      {"\\\\?\\USB#VID_16D3#R7#x", 0, 0, ""},
      {"\\\\?\\USB#VID_ZZZZ&PID_3000#R7#x", 0, 0x3000, "R7"},
      {"", 0, 0, ""},
  };
  for (const Case& c : cases) {
    const DeviceEvent event = DeviceEventFromPath(DeviceAction::kRemoval, DeviceType::kInterface, c.path);
    EXPECT_EQ(event.vendorId, c.vendor) << c.path;
    EXPECT_EQ(event.productId, c.product) << c.path;
    EXPECT_EQ(event.serial, c.serial) << c.path;
    EXPECT_EQ(event.sysPath, c.path);
  }
}

// What "-i" registers: the service under its name, its description, and (for the SCM) the
// services it needs running first.
TEST(ServiceHost, InstallRegistersTheServiceWithItsDescriptionAndDependencies) {
  HostRun run("");
  EXPECT_EQ(run.Run({"-i"}), 0);
  ASSERT_TRUE(run.control.created);
  EXPECT_EQ(run.control.created->name, "Ovanta Hardware");
  EXPECT_EQ(run.control.created->description, kServiceDescription);
  EXPECT_EQ(run.control.created->dependencies, (std::vector<std::string>{"TCPIP", "Voxlet"}));
  EXPECT_NE(run.control.created->unitTemplate.find(kExecStartPlaceholder), std::string::npos);
}

TEST(ServiceHost, AnUnopenableLogFallsBackToTheDefaultPathAndRemembersIt) {
  HostRun run("");
  // Below a file, no folder can be made on any system.
  WriteFile(run.dir.File("file"), "");
  WriteFile(run.dir.File("registry.ini"), "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" +
                                              run.dir.File("file") + "/x.log\nLogFlags=17\n");
  EXPECT_EQ(run.Run({"-u"}), 0);
  // Under the system directory, in the platform's own separators.
  const std::string fallback =
      (std::filesystem::path(run.dir.File("system")) / "Debug" / "OvantaHardwareService.log").string();
  EXPECT_NE(ReadFile(fallback).find("Receiver service starting."), std::string::npos);
  EXPECT_NE(ReadFile(run.dir.File("registry.ini")).find("Log20Location=" + fallback), std::string::npos);
}

// What the terminal shows for argv[1], and the exit status; nothing for a command line that
// goes on to the service.
struct TerminalAnswer {
  std::optional<int> status;
  std::string out = "", err = "";
};

TerminalAnswer AnswerFor(std::vector<std::string> args) {
  std::vector<char*> argv = Argv(args);
  std::FILE *out = std::tmpfile(), *err = std::tmpfile();
  TerminalAnswer answer{
      AnswerOnTerminal(static_cast<int>(argv.size() - 1), argv.data(), {"1.2.3", "0123abcd"}, out, err)};
  for (auto [stream, text] : {std::pair{out, &answer.out}, std::pair{err, &answer.err}}) {
    std::rewind(stream);
    char buffer[256];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) text->append(buffer, n);
    std::fclose(stream);
  }
  return answer;
}

TEST(AnswerOnTerminal, WhatEachCommandLineShowsAndWhere) {
  const std::string usage = "Usage: ovanta-hardware ";
  std::vector<std::pair<std::vector<std::string>, TerminalAnswer>> cases = {
      {{"-h", "-i"}, {0, usage, ""}},
      {{"--help"}, {0, usage, ""}},
      {{"--version"}, {0, "ovanta-hardware 1.2.3 (commit 0123abcd)\n", ""}},
  };
  // "-nologging" is only ever recognised as written; "-help" is not "--help".
  for (const char* unknown : {"-x", "--verbose", "-", "--", "-NOLOGGING", "-help", "-install", "--i"})
    cases.push_back({{unknown}, {2, "", std::string("ovanta-hardware: unknown switch '") + unknown + "'\n" + usage}});
  // Every other command line goes on to the service untouched.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"-i"}, {"-D"}, {"-Start"}, {"-STOP", "-x"}, {"-u"}, {"-nologging"}, {"x", "--help"}, {""}})
    cases.push_back({args, {std::nullopt, "", ""}});
  for (const auto& [args, expected] : cases) {
    const std::string name = args.empty() ? "(none)" : args[0];
    const TerminalAnswer answer = AnswerFor(args);
    EXPECT_EQ(answer.status, expected.status) << name;
    // Help and errors are checked as far as they are given, all else whole.
    EXPECT_EQ(answer.out.substr(0, expected.out == usage ? usage.size() : std::string::npos), expected.out) << name;
    EXPECT_EQ(answer.err.substr(0, expected.err.empty() ? std::string::npos : expected.err.size()), expected.err)
        << name;
    if (expected.out != usage) continue;
    for (const char* sw : {"-i", "-u", "-d", "-start", "-stop", "-nologging", "--version", "--check-config"})
      EXPECT_NE(answer.out.find(std::string("  ") + sw), std::string::npos) << sw;
    // The manual it names is one this system has (Windows: the text the installer puts beside
    // the program; no man command there).
    EXPECT_NE(answer.out.find(std::string("See ") + Platform::ManualReference() + ".\n"), std::string::npos);
    if (Platform::PathSeparator() == '\\') {
      EXPECT_EQ(answer.out.find("ovanta-hardware(8)"), std::string::npos);
    }
  }
}

}  // namespace

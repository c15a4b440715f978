#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "service/ServiceHost.h"
#include "tests/service/TestFiles.h"

namespace {

// The service manager as a script: what exists, what each call answers, what was asked.
class FakeServiceControl : public Platform::IServiceControl {
 public:
  bool installed = false;
  std::string configuredPath = "/usr/sbin/ovanta-hardware";
  std::string modulePath = "/usr/sbin/ovanta-hardware";
  uint32_t state = Platform::kServiceStopped;
  uint32_t stateAfterStop = Platform::kServiceStopped;  // what the stop control leads to
  bool dispatcherFails = false;
  std::vector<uint32_t> controls;  // delivered to the handler while the service main runs
  std::vector<uint32_t> handlerResults;
  std::vector<std::string> calls;
  std::vector<uint32_t> reported;
  std::mutex reportLock;
  std::condition_variable reportedChanged;

  bool ModulePath(std::string& path, std::string&) override {
    path = modulePath;
    return true;
  }
  bool Exists(const std::string&, std::string&) override { return installed; }
  bool ConfiguredBinaryPath(const std::string&, std::string& path, std::string& error) override {
    if (!installed) error = "no such unit";
    path = configuredPath;
    return installed;
  }
  bool Create(const Platform::ServiceConfig& config, std::string&) override {
    calls.push_back("create " + config.binaryPath);
    installed = true;
    configuredPath = config.binaryPath;
    return true;
  }
  bool ChangeBinaryPath(const std::string&, const std::string& path, std::string&) override {
    calls.push_back("change " + path);
    configuredPath = path;
    return true;
  }
  bool Delete(const std::string&, std::string&) override {
    calls.push_back("delete");
    installed = false;
    return true;
  }
  bool QueryState(const std::string&, uint32_t& s, std::string&) override {
    s = state;
    return true;
  }
  bool Start(const std::string&, std::string&) override {
    calls.push_back("start");
    state = Platform::kServiceRunning;
    return true;
  }
  bool ControlStop(const std::string&, std::string&) override {
    calls.push_back("stop");
    state = Platform::kServiceStopPending;
    return true;
  }
  bool ReportStatus(uint32_t s, uint32_t, std::string&) override {
    std::lock_guard<std::mutex> guard(reportLock);
    reported.push_back(s);
    reportedChanged.notify_all();
    return true;
  }
  bool RunDispatcher(const std::function<void()>& serviceMain, const std::function<uint32_t(uint32_t)>& handler,
                     std::string& error) override {
    calls.push_back("dispatcher");
    if (dispatcherFails) {
      error = "The service process could not connect to the service controller.";
      return false;
    }
    std::thread main(serviceMain);
    {
      // Like the service manager, send controls only to a service that said it runs.
      std::unique_lock<std::mutex> lock(reportLock);
      reportedChanged.wait(lock, [&] { return !reported.empty(); });
    }
    for (uint32_t c : controls) handlerResults.push_back(handler(c));
    main.join();
    return true;
  }
  void SleepMs(uint32_t) override {
    calls.push_back("sleep");
    if (state == Platform::kServiceStopPending) state = stateAfterStop;
  }
  bool Called(const std::string& call) const { return std::count(calls.begin(), calls.end(), call) > 0; }
};

class FakeManager : public IServiceManager {
 public:
  void Run() override {
    runs++;
    m_stop.Wait(-1);
  }
  void Stop() override { m_stop.Set(); }
  void OnDeviceEvent(const DeviceEvent&) override {}
  void OnPowerEvent(PowerEvent) override {}
  void OnLogChanged() override {}
  std::atomic<int> runs{0};

 private:
  ReceiverService::CWaitEvent m_stop;
};

// A process run of the service host with a scripted service manager, its own registry
// store and log.
class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath = dir.File("service.log");
    WriteFile(dir.File("registry.ini"),
              "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" + logPath + "\nLogFlags=17\n");
    setenv("OVANTA_SYSTEM_DIR", dir.File("system").c_str(), 1);
  }
  void TearDown() override { unsetenv("OVANTA_SYSTEM_DIR"); }

  int RunWith(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ServiceHostParts parts;
    parts.serviceControl = &control;
    parts.makeManager = [this](CReceiverServiceSettings&) -> std::unique_ptr<IServiceManager> {
      auto m = std::make_unique<FakeManager>();
      manager = m.get();
      return m;
    };
    return ReceiverServiceMain(static_cast<int>(args.size()), argv.data(), parts);
  }
  std::string Log() { return ReadFile(logPath); }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }
  // Settings are written back under the preference store's key.
  bool SettingsSaved() {
    return ReadFile(dir.File("registry.ini")).find("HardwareService\\com.vantrel.Preferences]") != std::string::npos;
  }

  TempDir dir;
  ScopedRegistry registry{dir.File("registry.ini")};
  std::string logPath;
  FakeServiceControl control;
  FakeManager* manager = nullptr;
};

TEST_F(ServiceHostTest, NotInstalledWithoutSwitchesLogsUsageAndFails) {
  EXPECT_EQ(RunWith({"ovanta-hardware"}), -1);
  EXPECT_TRUE(Logged("Receiver service starting."));
  EXPECT_TRUE(Logged("The service is not installed.  Exiting.  Usage: '-i' install, '-u' uninstall, '-d' debug"));
  EXPECT_TRUE(Logged("Saving settings."));
  EXPECT_TRUE(Logged("Receiver service stopped."));
  EXPECT_TRUE(SettingsSaved());
}

TEST_F(ServiceHostTest, InstalledButNotStartedByTheServiceManagerFailsWithBothLines) {
  control.installed = true;
  control.dispatcherFails = true;
  EXPECT_EQ(RunWith({"ovanta-hardware"}), -1);
  EXPECT_TRUE(
      Logged("StartServiceCtrlDispatcher failed = The service process could not connect to the service "
             "controller."));
  EXPECT_TRUE(Logged("To run the service in the debugger use '-d'.  Usage: '-i' install, '-u' uninstall, '-d' debug"));
}

TEST_F(ServiceHostTest, SwitchesAreCaseInsensitiveButTheSaveRuleIsNot) {
  EXPECT_EQ(RunWith({"ovanta-hardware", "-I"}), 0);
  EXPECT_TRUE(Logged("Command Line:-->-I<-- ...Installing the service"));
  EXPECT_TRUE(control.Called("create /usr/sbin/ovanta-hardware"));
  EXPECT_TRUE(control.Called("start"));
  EXPECT_TRUE(Logged("The service installed successfully"));
  // "-I" is not "-i" to the any-argument test: the settings are saved.
  EXPECT_TRUE(SettingsSaved());
}

TEST_F(ServiceHostTest, ALowerCaseManagementSwitchSuppressesTheSaveAndTheStartEndsLogging) {
  EXPECT_EQ(RunWith({"ovanta-hardware", "-i"}), 0);
  EXPECT_TRUE(control.Called("start"));
  EXPECT_FALSE(SettingsSaved());
  // The start hands the log to the service process: this process logs nothing more.
  EXPECT_FALSE(Logged("Receiver service stopped."));
}

TEST_F(ServiceHostTest, ASwitchInTheSecondArgumentRunsAsTheServiceButStillSuppressesTheSave) {
  control.installed = true;
  control.controls = {Platform::kControlStop};
  EXPECT_EQ(RunWith({"ovanta-hardware", "x", "-stop"}), 0);
  EXPECT_TRUE(control.Called("dispatcher"));
  EXPECT_FALSE(control.Called("stop"));
  EXPECT_FALSE(SettingsSaved());
}

TEST_F(ServiceHostTest, NoLoggingAnywhereMeansNoLogFile) {
  EXPECT_EQ(RunWith({"ovanta-hardware", "-u", "-nologging"}), 0);
  EXPECT_FALSE(std::filesystem::exists(logPath));
  EXPECT_FALSE(SettingsSaved());
}

TEST_F(ServiceHostTest, TheServiceRunsReportsAndAnswersItsControls) {
  control.installed = true;
  control.controls = {Platform::kControlPause, Platform::kControlStop};
  EXPECT_EQ(RunWith({"ovanta-hardware"}), 0);
  EXPECT_EQ(control.handlerResults, (std::vector<uint32_t>{120, 0}));
  const std::string log = Log();
  const auto running = log.find("Status reported: SERVICE_RUNNING");
  const auto stop = log.find("SERVICE_CONTROL_STOP");
  const auto pending = log.find("Status reported: SERVICE_STOP_PENDING checkpoint 0, wait 3000");
  const auto stopped = log.find("Status reported: SERVICE_STOPPED");
  ASSERT_NE(running, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(running, stop);
  EXPECT_LT(stop, pending);
  EXPECT_LT(pending, stopped);
  EXPECT_TRUE(SettingsSaved());
  // The unhandled pause reports the status unchanged.
  EXPECT_EQ(control.reported, (std::vector<uint32_t>{Platform::kServiceRunning, Platform::kServiceRunning,
                                                     Platform::kServiceStopPending, Platform::kServiceStopped}));
}

TEST_F(ServiceHostTest, AShutdownStopsTheServiceAsAStopDoes) {
  control.installed = true;
  control.controls = {Platform::kControlShutdown};
  EXPECT_EQ(RunWith({"ovanta-hardware"}), 0);
  EXPECT_EQ(control.handlerResults, (std::vector<uint32_t>{0}));
  EXPECT_TRUE(Logged("SERVICE_CONTROL_SHUTDOWN"));
  EXPECT_FALSE(Logged("SERVICE_CONTROL_STOP"));
  EXPECT_EQ(control.reported, (std::vector<uint32_t>{Platform::kServiceRunning, Platform::kServiceStopPending,
                                                     Platform::kServiceStopped}));
}

TEST_F(ServiceHostTest, InstallingAnInstalledServiceStopsRepointsAndStartsIt) {
  control.installed = true;
  control.state = Platform::kServiceRunning;
  control.configuredPath = "/opt/old/ovanta-hardware";
  EXPECT_EQ(RunWith({"ovanta-hardware", "-i"}), 0);
  EXPECT_TRUE(Logged("The service is already installed"));
  EXPECT_TRUE(Logged("Stopping the service"));
  EXPECT_TRUE(Logged("The service stopped successfully"));
  const auto& c = control.calls;
  const auto stop = std::find(c.begin(), c.end(), "stop");
  const auto change = std::find(c.begin(), c.end(), "change /usr/sbin/ovanta-hardware");
  const auto start = std::find(c.begin(), c.end(), "start");
  ASSERT_NE(change, c.end());
  EXPECT_LT(stop, change);
  EXPECT_LT(change, start);
  EXPECT_FALSE(control.Called("create /usr/sbin/ovanta-hardware"));
}

TEST_F(ServiceHostTest, AStopThatTakesLongerThanTwoSecondsIsReportedAsFailed) {
  control.installed = true;
  control.state = Platform::kServiceRunning;
  control.stateAfterStop = Platform::kServiceStopPending;
  EXPECT_EQ(RunWith({"ovanta-hardware", "-STOP"}), 0);
  EXPECT_EQ(std::count(control.calls.begin(), control.calls.end(), "sleep"), 4);
  EXPECT_TRUE(Logged("The service failed to stop"));
  EXPECT_TRUE(SettingsSaved());  // "-STOP" is not "-stop"
}

TEST_F(ServiceHostTest, UninstallingAMissingServiceSaysSo) {
  EXPECT_EQ(RunWith({"ovanta-hardware", "-u"}), 0);
  EXPECT_TRUE(Logged("Command Line:-->-u<-- ...Uninstalling the service"));
  EXPECT_TRUE(Logged("The service is not installed"));
  EXPECT_FALSE(control.Called("delete"));
}

TEST_F(ServiceHostTest, AnUnopenableLogFallsBackToTheDefaultPathAndRemembersIt) {
  WriteFile(dir.File("registry.ini"),
            "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=/proc/no/such/dir/x.log\n"
            "LogFlags=17\n");
  EXPECT_EQ(RunWith({"ovanta-hardware", "-u"}), 0);
  const std::string fallback = dir.File("system") + "/Debug/OvantaHardwareService.log";
  EXPECT_NE(ReadFile(fallback).find("Receiver service starting."), std::string::npos);
  EXPECT_NE(ReadFile(dir.File("registry.ini")).find("Log20Location=" + fallback), std::string::npos);
}

// What the terminal shows for argv[1], and the exit status; nothing for a command line that
// goes on to the service.
struct TerminalAnswer {
  std::optional<int> status;
  std::string out, err;
};

TerminalAnswer AnswerFor(std::vector<std::string> args, std::FILE* outStream = nullptr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  TerminalAnswer answer;
  answer.status = AnswerOnTerminal(static_cast<int>(args.size()), argv.data(), {"1.2.3", "0123abcd"},
                                   outStream ? outStream : out, err);
  for (auto [stream, text] : {std::pair{out, &answer.out}, std::pair{err, &answer.err}}) {
    std::rewind(stream);
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) text->append(buffer, n);
    std::fclose(stream);
  }
  return answer;
}

TEST(AnswerOnTerminal, HelpAndVersionGoToStandardOutput) {
  for (const char* help : {"-h", "--help"}) {
    const TerminalAnswer answer = AnswerFor({"ovanta-hardware", help, "-i"});
    EXPECT_EQ(answer.status, std::optional<int>(0)) << help;
    EXPECT_EQ(answer.out.rfind("Usage: ovanta-hardware ", 0), 0u) << answer.out;
    for (const char* sw : {"-i", "-u", "-d", "-start", "-stop", "-nologging", "--version"})
      EXPECT_NE(answer.out.find(std::string("  ") + sw), std::string::npos) << sw;
    EXPECT_EQ(answer.err, "");
  }
  const TerminalAnswer version = AnswerFor({"ovanta-hardware", "--version"});
  EXPECT_EQ(version.status, std::optional<int>(0));
  EXPECT_EQ(version.out, "ovanta-hardware 1.2.3 (commit 0123abcd)\n");
  EXPECT_EQ(version.err, "");
}

TEST(AnswerOnTerminal, HelpThatCannotBeWrittenIsAFailure) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(AnswerFor({"ovanta-hardware", "--help"}, full).status, std::optional<int>(1));
  std::fclose(full);
}

TEST(AnswerOnTerminal, AnUnknownSwitchShowsTheUsageOnStandardErrorWithStatusTwo) {
  // "-nologging" is only ever recognised as written; "-help" is not "--help".
  for (const char* unknown : {"-x", "--verbose", "-", "--", "-NOLOGGING", "-help", "-install", "--i"}) {
    const TerminalAnswer answer = AnswerFor({"ovanta-hardware", unknown});
    EXPECT_EQ(answer.status, std::optional<int>(2)) << unknown;
    EXPECT_EQ(answer.err.rfind(std::string("ovanta-hardware: unknown switch '") + unknown + "'\nUsage: ", 0), 0u)
        << answer.err;
    EXPECT_EQ(answer.out, "") << unknown;
  }
}

TEST(AnswerOnTerminal, EveryOtherCommandLineGoesOnToTheServiceUntouched) {
  const std::vector<std::vector<std::string>> commandLines = {
      {"ovanta-hardware"},
      {"ovanta-hardware", "-i"},
      {"ovanta-hardware", "-D"},
      {"ovanta-hardware", "-Start"},
      {"ovanta-hardware", "-STOP", "-x"},
      {"ovanta-hardware", "-u"},
      {"ovanta-hardware", "-nologging"},
      {"ovanta-hardware", "x", "--help"},
      {"ovanta-hardware", ""},
  };
  for (const auto& args : commandLines) {
    const TerminalAnswer answer = AnswerFor(args);
    EXPECT_FALSE(answer.status.has_value()) << args.back();
    EXPECT_EQ(answer.out + answer.err, "") << args.back();
  }
}

}  // namespace

// The service control manager backend against the system's SCM (under Wine, Wine's): services
// with names made up for each run, installed from copies of the test service program
// (TestService.cpp) in folders whose names have spaces, and removed again whatever the test's
// outcome.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"
#include "tests/platform/Windows/ScmTestServices.h"
#include "tests/service/TestFiles.h"

namespace {

using namespace Platform;
using namespace ScmTest;

// A control code of the range left to programs (128-255), which every service is sent.
constexpr DWORD kOwnControl = 200;

// A service as the SCM keeps its registration.
struct Registration {
  std::wstring commandLine, displayName, description;
  DWORD type = 0, start = 0, errorControl = 0;
  // As the SCM stores them (the service's DependOnService value): Wine's QueryServiceConfigW
  // leaves them out of its answer.
  std::vector<std::string> dependencies;
};

Registration RegistrationOf(const std::string& name) {
  Registration r;
  const ServiceHandle manager = OpenManager();
  const ServiceHandle service(::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_QUERY_CONFIG));
  if (!service) return r;
  r.dependencies = StoredDependencies(name);
  std::vector<uint64_t> buffer(8192 / sizeof(uint64_t));
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (::QueryServiceConfigW(service.get(), config, 8192, &needed)) {
    r.commandLine = config->lpBinaryPathName;
    r.displayName = config->lpDisplayName;
    r.type = config->dwServiceType, r.start = config->dwStartType, r.errorControl = config->dwErrorControl;
  }
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data());
  if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(buffer.data()), 8192,
                             &needed) &&
      description->lpDescription)
    r.description = description->lpDescription;
  return r;
}

// The failure actions as the SCM gives them: "restart after <ms>" each, and the reset period
// ("reset <s>"); empty when it gives none.
std::vector<std::string> FailureActionsOf(const std::string& name) {
  const ServiceHandle manager = OpenManager();
  const ServiceHandle service(::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_QUERY_CONFIG));
  std::vector<uint64_t> buffer(8192 / sizeof(uint64_t));
  DWORD needed = 0;
  std::vector<std::string> actions;
  if (!service || !::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                                          reinterpret_cast<BYTE*>(buffer.data()), 8192, &needed))
    return actions;
  const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  if (failure->cActions == 0) return actions;
  actions.push_back("reset " + std::to_string(failure->dwResetPeriod));
  for (DWORD i = 0; i < failure->cActions; ++i)
    actions.push_back((failure->lpsaActions[i].Type == SC_ACTION_RESTART ? "restart after " : "other after ") +
                      std::to_string(failure->lpsaActions[i].Delay));
  return actions;
}
// Wine's SCM takes failure actions without keeping them (its QueryServiceConfig2 gives none):
// there the read-back is left to a real machine ("sc qfailure").
bool ScmKeepsFailureActions() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return !(ntdll && ::GetProcAddress(ntdll, "wine_get_version"));
}
const std::vector<std::string> kRestartOnFailure = {"reset 86400", "restart after 5000", "restart after 5000",
                                                    "restart after 5000"};

// Sends a control as the SCM's users do; the system's error code when it fails, else 0.
DWORD SendControl(const std::string& name, DWORD control) {
  const ServiceHandle manager = OpenManager();
  const ServiceHandle service(::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_ALL_ACCESS));
  SERVICE_STATUS status{};
  if (service && ::ControlService(service.get(), control, &status)) return 0;
  return ::GetLastError();
}

class ScmService : public ::testing::Test {
 protected:
  void SetUp() override {
    control = MakeServiceControl();
    std::string self, error;
    ASSERT_TRUE(control->ModulePath(self, error)) << error;
    testService = self.substr(0, self.rfind('\\')) + "\\ovanta_test_service.exe";
    ASSERT_TRUE(std::filesystem::exists(testService)) << testService;
  }
  void TearDown() override {
    for (auto name = names.rbegin(); name != names.rend(); ++name) Remove(*name);
  }

  // A service name no other run uses; a service of that name left by an earlier run that
  // ended before it cleaned up is removed first.
  std::string NewName() {
    static int counter = 0;
    const std::string name =
        "OvantaScmTest-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter);
    Remove(name);
    names.push_back(name);
    return name;
  }
  // A copy of the test service that runs as the service `name`, in a folder with a space in
  // its name under the test's temporary folder.
  std::string ProgramFor(const std::string& name, const std::string& subfolder = "test services") {
    const std::string dir = folder.File(subfolder);
    std::filesystem::create_directories(dir);
    const std::string program = dir + "\\" + name + ".exe";
    std::filesystem::copy_file(testService, program, std::filesystem::copy_options::overwrite_existing);
    return program;
  }
  // The controls the copy at program received, in order.
  static std::string ControlsSeenBy(const std::string& program) {
    return ReadFile(program.substr(0, program.size() - 4) + ".controls");
  }
  // The event the service sets once it reports that it runs.
  static KernelHandle RunningEvent(const std::string& name) {
    return KernelHandle(::CreateEventA(nullptr, TRUE, FALSE, ("Global\\" + name + ".running").c_str()));
  }
  uint32_t StateOf(const std::string& name) {
    uint32_t state = 0;
    std::string error;
    EXPECT_TRUE(control->QueryState(name, state, error)) << name << ": " << error;
    return state;
  }

  std::unique_ptr<IServiceControl> control;
  std::string testService;
  TempDir folder;
  std::vector<std::string> names;  // every service the test may have made
};

TEST_F(ScmService, AServiceIsCreatedStartedStoppedAndDeleted) {
  // The dependencies are services of the test's own, so that no run touches another's.
  const std::string first = NewName(), second = NewName(), name = NewName();
  std::string error;
  for (const std::string& dependency : {first, second})
    ASSERT_TRUE(control->Create({dependency, ProgramFor(dependency), "", "", "", {}}, error)) << error;
  const std::string program = ProgramFor(name);
  ASSERT_TRUE(control->Create({name, program, "What the test installed.", "", "", {first, second}}, error)) << error;

  EXPECT_TRUE(control->Exists(name, error)) << error;
  const Registration registration = RegistrationOf(name);
  EXPECT_EQ(registration.commandLine, L"\"" + Widen(program) + L"\"");
  EXPECT_EQ(registration.displayName, Widen(name));
  EXPECT_EQ(registration.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(registration.start, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(registration.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(registration.dependencies, (std::vector<std::string>{first, second}));
  EXPECT_EQ(registration.description, L"What the test installed.");
  if (ScmKeepsFailureActions()) {
    EXPECT_EQ(FailureActionsOf(name), kRestartOnFailure);
  }
  std::string configured;
  EXPECT_TRUE(control->ConfiguredBinaryPath(name, configured, error)) << error;
  EXPECT_EQ(configured, program);
  EXPECT_EQ(StateOf(name), kServiceStopped);

  const KernelHandle running = RunningEvent(name);
  ASSERT_TRUE(control->Start(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(running.get(), kPatienceMs), WAIT_OBJECT_0);
  EXPECT_EQ(StateOf(name), kServiceRunning);
  // (Windows starts what the service depends on first; Wine does not.)

  // Controls of the program's own reach the handler.
  EXPECT_EQ(SendControl(name, kOwnControl), 0u);
  const KernelHandle process = ProcessOf(name);
  ASSERT_TRUE(process);
  ASSERT_TRUE(control->ControlStop(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(process.get(), kPatienceMs), WAIT_OBJECT_0);
  DWORD status = 99;
  EXPECT_TRUE(::GetExitCodeProcess(process.get(), &status));
  EXPECT_EQ(status, 0u) << "the dispatcher did not return normally";
  EXPECT_EQ(StateOf(name), kServiceStopped);
  EXPECT_EQ(ControlsSeenBy(program), std::to_string(kOwnControl) + "\n1\n");
  // A report after SERVICE_STOPPED (the service made one) never reaches the SCM: it would take
  // the process's end for a failure.
  EXPECT_EQ(ReadFile(program.substr(0, program.size() - 4) + ".final"), std::to_string(kServiceStopped));

  ASSERT_TRUE(control->Delete(name, error)) << error;
  error = "not asked";
  EXPECT_FALSE(control->Exists(name, error));
  EXPECT_EQ(error, "");
}

TEST_F(ScmService, ChangeBinaryPathPointsTheServiceAtAnotherProgram) {
  const std::string name = NewName();
  const std::string before = ProgramFor(name), after = ProgramFor(name, "moved services");
  std::string error, configured;
  ASSERT_TRUE(control->Create({name, before, "", "", "", {}}, error)) << error;
  ASSERT_TRUE(control->ChangeBinaryPath(name, after, error)) << error;
  EXPECT_TRUE(control->ConfiguredBinaryPath(name, configured, error)) << error;
  EXPECT_EQ(configured, after);
  EXPECT_EQ(RegistrationOf(name).commandLine, L"\"" + Widen(after) + L"\"");
  // The rest of the registration stays.
  EXPECT_EQ(RegistrationOf(name).start, static_cast<DWORD>(SERVICE_AUTO_START));

  // The program the SCM starts is the new one.
  const KernelHandle running = RunningEvent(name);
  ASSERT_TRUE(control->Start(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(running.get(), kPatienceMs), WAIT_OBJECT_0);
  const KernelHandle process = ProcessOf(name);
  ASSERT_TRUE(control->ControlStop(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(process.get(), kPatienceMs), WAIT_OBJECT_0);
  EXPECT_EQ(ControlsSeenBy(after), "1\n");
  EXPECT_EQ(ControlsSeenBy(before), "");

  // Windows paths do not care about case.
  std::string shouted = after;
  for (char& c : shouted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(control->SamePath(after, shouted));
  EXPECT_FALSE(control->SamePath(after, before));
}

// A service registered by other means (an installer, sc.exe) restarts on failure from its first
// start on.
TEST_F(ScmService, AServiceRegisteredElsewhereRestartsOnFailureOnceStarted) {
  const std::string name = NewName();
  const std::string program = ProgramFor(name);
  {
    const ServiceHandle manager = OpenManager();
    const ServiceHandle service(::CreateServiceW(manager.get(), Widen(name).c_str(), nullptr, SERVICE_ALL_ACCESS,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                                 (L"\"" + Widen(program) + L"\"").c_str(), nullptr, nullptr, nullptr,
                                                 nullptr, nullptr));
    ASSERT_TRUE(service) << Win32ErrorText(::GetLastError());
  }
  EXPECT_EQ(FailureActionsOf(name), std::vector<std::string>{});
  std::string error;
  const KernelHandle running = RunningEvent(name);
  ASSERT_TRUE(control->Start(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(running.get(), kPatienceMs), WAIT_OBJECT_0);
  if (ScmKeepsFailureActions()) {
    EXPECT_EQ(FailureActionsOf(name), kRestartOnFailure);
  }
  const KernelHandle process = ProcessOf(name);
  ASSERT_TRUE(control->ControlStop(name, error)) << error;
  ASSERT_EQ(::WaitForSingleObject(process.get(), kPatienceMs), WAIT_OBJECT_0);
}

// Registrations other tools make: without quotes, or with arguments after the program.
TEST_F(ScmService, TheConfiguredProgramIsReadFromAnyCommandLine) {
  const std::string program = folder.File("some folder") + "\\ovanta-hardware.exe";
  const std::pair<std::wstring, std::string> lines[] = {
      {Widen(program), program},
      {L"\"" + Widen(program) + L"\" -x \"y z\"", program},
      {Widen(program) + L"  ", program},
  };
  const ServiceHandle manager = OpenManager();
  for (const auto& [line, expected] : lines) {
    const std::string name = NewName();
    ServiceHandle service(::CreateServiceW(manager.get(), Widen(name).c_str(), nullptr, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << Win32ErrorText(::GetLastError());
    std::string configured, error;
    EXPECT_TRUE(control->ConfiguredBinaryPath(name, configured, error)) << error;
    EXPECT_EQ(configured, expected) << Narrow(line);
  }
}

TEST_F(ScmService, CallsFailWithTheSystemsReason) {
  const std::string missing = NewName(), name = NewName();
  const std::string noSuchService = Win32ErrorText(ERROR_SERVICE_DOES_NOT_EXIST);
  std::string error, path;
  uint32_t state = 0;
  // Not there: Exists says so without an error; everything else fails with the SCM's reason.
  EXPECT_FALSE(control->Exists(missing, error));
  EXPECT_EQ(error, "");
  const std::vector<std::pair<const char*, std::function<bool(std::string&)>>> calls = {
      {"QueryState", [&](std::string& e) { return control->QueryState(missing, state, e); }},
      {"ConfiguredBinaryPath", [&](std::string& e) { return control->ConfiguredBinaryPath(missing, path, e); }},
      {"ChangeBinaryPath", [&](std::string& e) { return control->ChangeBinaryPath(missing, testService, e); }},
      {"Start", [&](std::string& e) { return control->Start(missing, e); }},
      {"ControlStop", [&](std::string& e) { return control->ControlStop(missing, e); }},
      {"Delete", [&](std::string& e) { return control->Delete(missing, e); }},
  };
  for (const auto& [call, run] : calls) {
    error.clear();
    EXPECT_FALSE(run(error)) << call;
    EXPECT_EQ(error, noSuchService) << call;
  }
  EXPECT_NE(noSuchService, "error " + std::to_string(ERROR_SERVICE_DOES_NOT_EXIST));

  // Made twice; stopped when it does not run.
  ASSERT_TRUE(control->Create({name, ProgramFor(name), "", "", "", {}}, error)) << error;
  EXPECT_FALSE(control->Create({name, ProgramFor(name), "", "", "", {}}, error));
  EXPECT_EQ(error, Win32ErrorText(ERROR_SERVICE_EXISTS));
  EXPECT_FALSE(control->ControlStop(name, error));
  EXPECT_EQ(error, Win32ErrorText(ERROR_SERVICE_NOT_ACTIVE));
}

// A process the SCM did not start is no service, whether the program asks in this process or
// was started by hand.
TEST_F(ScmService, TheDispatcherRunsOnlyInAProcessTheScmStarted) {
  const std::string name = NewName();
  std::string error;
  bool ran = false;
  EXPECT_FALSE(control->RunDispatcher(
      name, [&] { ran = true; }, [](const Platform::ServiceControlRequest&) { return 0u; }, error));
  EXPECT_EQ(error, Win32ErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  // Asked again, the system's dispatcher (Wine's: "already running") still runs nothing.
  EXPECT_FALSE(control->RunDispatcher(
      name, [&] { ran = true; }, [](const Platform::ServiceControlRequest&) { return 0u; }, error));
  EXPECT_FALSE(ran);
  EXPECT_FALSE(control->ReportStatus(kServiceRunning, 0, error));

  EXPECT_EQ(ExitStatusOf(ProgramFor(name)), 1u);
}

}  // namespace

// The service host as the SCM runs it: a copy of the host program (HostProgram.cpp) in a
// folder with spaces installs itself with "-i", runs as the service "Ovanta Hardware", and
// stops and uninstalls itself with "-stop" and "-u"; the log tells the whole story.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "log/ReceiverServiceSettings.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/Windows/Win32Error.h"
#include "sdk/SdkClient.h"
#include "service/ServiceHost.h"
#include "tests/platform/Windows/ScmTestServices.h"
#include "tests/service/TestFiles.h"

namespace {

using namespace ScmTest;

// The service's settings key in the system registry, where the service process reads them.
const std::string kSettingsKey = HardwareServiceKeyPath() + "\\" + PreferenceStore();

class HostedService : public ::testing::Test {
 protected:
  void SetUp() override {
    std::wstring self(MAX_PATH, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
    const std::filesystem::path host = std::filesystem::path(self).parent_path() / "ovanta_test_host.exe";
    ASSERT_TRUE(std::filesystem::exists(host)) << host.string();
    std::filesystem::create_directories(folder.File("hardware service"));
    program = folder.File("hardware service") + "\\ovanta-hardware.exe";
    std::filesystem::copy_file(host, program);
    // A service left by a run that ended before it cleaned up.
    Remove(kServiceName);
    // The programs this test starts use the system registry, as the service does.
    if (const char* old = std::getenv("OVANTA_REGISTRY")) m_oldRegistry = old;
    _putenv_s("OVANTA_REGISTRY", "");
    ASSERT_TRUE(WriteRegistryString(Platform::kLocalMachine, HardwareServiceKeyPath(), "Log20Location", logPath,
                                    PreferenceStore()));
    // Milestones and the service host's own lines.
    ASSERT_TRUE(
        WriteRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(), "LogFlags", 0x11, PreferenceStore()));
  }
  void TearDown() override {
    Remove(kServiceName);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, Platform::Widen(kSettingsKey).c_str());
    _putenv_s("OVANTA_REGISTRY", m_oldRegistry.c_str());
  }

  // Whether the log holds the lines in this order (other lines between them).
  ::testing::AssertionResult LoggedInOrder(const std::vector<std::string>& lines) const {
    const std::string log = ReadFile(logPath);
    size_t at = 0;
    for (const std::string& line : lines) {
      at = log.find(line, at);
      if (at == std::string::npos) return ::testing::AssertionFailure() << "no \"" << line << "\" in order in\n" << log;
    }
    return ::testing::AssertionSuccess();
  }

  // "-stop" ends the running service's process normally, then "-u" deletes the service.
  void StopAndUninstall() const {
    const KernelHandle process = ProcessOf(kServiceName);
    ASSERT_TRUE(process);
    EXPECT_EQ(ExitStatusOf(program, "-stop"), 0u);
    ASSERT_EQ(::WaitForSingleObject(process.get(), kPatienceMs), WAIT_OBJECT_0);
    DWORD status = ~0u;
    EXPECT_TRUE(::GetExitCodeProcess(process.get(), &status));
    EXPECT_EQ(status, 0u) << "the service process did not end normally";
    EXPECT_EQ(ExitStatusOf(program, "-u"), 0u);
  }

  // Whether the log comes to hold the text within the patience of these tests.
  bool LogComesToHold(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (ReadFile(logPath).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  TempDir folder;
  std::string program;
  std::string logPath = folder.File("service.log");

 private:
  std::string m_oldRegistry;
};

TEST_F(HostedService, InstallsRunsStopsAndUninstallsThroughTheScm) {
  const KernelHandle running(::CreateEventA(nullptr, TRUE, FALSE, "Global\\OvantaHostTest.running"));
  ASSERT_EQ(ExitStatusOf(program, "-i"), 0u);
  // "-i" starts the service it installed.
  ASSERT_EQ(::WaitForSingleObject(running.get(), kPatienceMs), WAIT_OBJECT_0);
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  std::string configured, error;
  EXPECT_TRUE(control->ConfiguredBinaryPath(kServiceName, configured, error)) << error;
  EXPECT_EQ(configured, program);
  EXPECT_EQ(StoredDependencies(kServiceName), (std::vector<std::string>{"TCPIP", "Voxlet"}));
  uint32_t state = 0;
  EXPECT_TRUE(control->QueryState(kServiceName, state, error)) << error;
  EXPECT_EQ(state, Platform::kServiceRunning);

  ASSERT_NO_FATAL_FAILURE(StopAndUninstall());
  error = "not asked";
  EXPECT_FALSE(control->Exists(kServiceName, error));
  EXPECT_EQ(error, "");

  // What each process wrote, in its own order.
  EXPECT_TRUE(LoggedInOrder({"Command Line:-->-i<-- ...Installing the service", "The service installed successfully"}));
  EXPECT_TRUE(LoggedInOrder({"Status reported: SERVICE_RUNNING", "SERVICE_CONTROL_STOP",
                             "Status reported: SERVICE_STOP_PENDING checkpoint 0, wait 3000",
                             "Status reported: SERVICE_STOPPED", "Saving settings.", "Receiver service stopped."}));
  EXPECT_TRUE(LoggedInOrder({"Command Line:-->-stop<-- ...Stopping the service", "Stopping the service",
                             "The service stopped successfully"}));
  EXPECT_TRUE(
      LoggedInOrder({"Command Line:-->-u<-- ...Uninstalling the service", "The service uninstalled successfully"}));
}

// The service executable itself, installed from a folder with spaces: the SCM runs it, its
// receiver manager starts and its SDK server answers an SDK client that finds it by multicast;
// it stops and goes as the host program does.
TEST_F(HostedService, TheServiceExecutableRunsItsReceiverManagerUnderTheScm) {
  std::filesystem::copy_file(OVANTA_HARDWARE_EXE, program, std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(ExitStatusOf(program, "-i"), 0u);
  ASSERT_TRUE(LogComesToHold("SDK port number: ")) << ReadFile(logPath);
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  std::string error;
  uint32_t state = 0;
  EXPECT_TRUE(control->QueryState(kServiceName, state, error)) << error;
  EXPECT_EQ(state, Platform::kServiceRunning);

  const std::optional<uint16_t> port = CSdkClient::Discover(10000);
  ASSERT_TRUE(port);
  EXPECT_NE(ReadFile(logPath).find("SDK port number: " + std::to_string(*port)), std::string::npos);
  CSdkClient client(CSdkClient::Handlers{});
  ASSERT_TRUE(client.Connect(*port));
  EXPECT_TRUE(client.Ping());
  client.Close();

  ASSERT_NO_FATAL_FAILURE(StopAndUninstall());
  EXPECT_TRUE(LoggedInOrder({"Command Line:-->-i<-- ...Installing the service", "The service installed successfully",
                             "Status reported: SERVICE_RUNNING", "CReceiverManager::Run started",
                             "SERVICE_CONTROL_STOP", "CServiceEventHandler::Stop", "CReceiverManager::Run complete",
                             "Status reported: SERVICE_STOPPED", "Receiver service stopped."}));
  EXPECT_TRUE(
      LoggedInOrder({"Command Line:-->-u<-- ...Uninstalling the service", "The service uninstalled successfully"}));
}

// Started by hand, not by the SCM, the installed service's program says how to run it.
TEST_F(HostedService, RunFromAConsoleTheInstalledServiceExplainsItself) {
  const std::unique_ptr<Platform::IServiceControl> control = Platform::MakeServiceControl();
  std::string error;
  ASSERT_TRUE(control->Create({kServiceName, program, "", "", "", {}}, error)) << error;
  EXPECT_EQ(ExitStatusOf(program), static_cast<DWORD>(-1));
  const std::string failed = "StartServiceCtrlDispatcher failed = " +
                             std::string(Platform::Win32ErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_TRUE(LoggedInOrder({failed, "To run the service in the debugger use '-d'."}));
}

}  // namespace

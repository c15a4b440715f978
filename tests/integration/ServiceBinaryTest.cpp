#include <gtest/gtest.h>

#include "tests/integration/ChildProcess.h"
#include "tests/service/TestFiles.h"

namespace {

class ServiceBinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath = dir.File("service.log");
    WriteFile(dir.File("registry.ini"), "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\nLog20Location=" +
                                            logPath + "\nLogFlags=17\n");
  }
  std::vector<std::string> Env() const {
    return {"OVANTA_REGISTRY=" + dir.File("registry.ini"), "OVANTA_SYSTEM_DIR=" + dir.File("system"),
            "OVANTA_UNIT_DIR=" + dir.File("units")};
  }

  TempDir dir;
  std::string logPath;
};

TEST_F(ServiceBinaryTest, ConsoleModeRunsUntilInterruptedAndShutsDownInOrder) {
  ChildProcess service({OVANTA_HARDWARE_EXE, "-d"}, Env());
  ASSERT_TRUE(service.Started());
  ASSERT_TRUE(service.WaitForLine("CReceiverManager::Run started")) << service.Seen();
  service.Signal(SIGINT);
  ASSERT_TRUE(service.WaitForLine("Receiver service stopped.")) << service.Seen();
  EXPECT_EQ(service.Wait(), 0);

  const std::string log = ReadFile(logPath);
  const auto starting = log.find("Receiver service starting.");
  const auto debugging = log.find("Command Line:-->-d<-- ...Debugging the service");
  const auto stopping = log.find("CServiceEventHandler::Stop");
  const auto complete = log.find("CReceiverManager::Run complete");
  const auto saving = log.find("Saving settings.");
  const auto stopped = log.find("Receiver service stopped.");
  ASSERT_NE(starting, std::string::npos) << log;
  ASSERT_NE(stopped, std::string::npos) << log;
  EXPECT_LT(starting, debugging);
  EXPECT_LT(debugging, stopping);
  EXPECT_LT(stopping, complete);
  EXPECT_LT(complete, saving);
  EXPECT_LT(saving, stopped);
  // A normal shutdown writes the settings back under the preference store's key.
  const std::string registry = ReadFile(dir.File("registry.ini"));
  EXPECT_NE(registry.find("[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]"),
            std::string::npos);
  EXPECT_NE(registry.find("LogFlags=17"), std::string::npos);
}

TEST_F(ServiceBinaryTest, SigtermStopsTheConsoleModeToo) {
  ChildProcess service({OVANTA_HARDWARE_EXE, "-D"}, Env());
  ASSERT_TRUE(service.WaitForLine("CReceiverManager::Run started")) << service.Seen();
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);
  EXPECT_NE(ReadFile(logPath).find("Receiver service stopped."), std::string::npos);
}

TEST_F(ServiceBinaryTest, WithoutSwitchesAndNotInstalledItExitsWithTheUsageLine) {
  ChildProcess service({OVANTA_HARDWARE_EXE}, Env());
  EXPECT_EQ(service.Wait(), 255);
  EXPECT_NE(ReadFile(logPath).find("The service is not installed.  Exiting."), std::string::npos);
}

}  // namespace

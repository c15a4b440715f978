// What "-i" writes, and a unit installed by the package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "packaging/InstalledFiles.h"
#include "platform/Linux/SystemdServiceControl.h"
#include "service/ServiceHost.h"
#include "tests/service/TestFiles.h"

namespace {

// The unit the package installs for a program at path.
std::string PackagedUnit(const std::string& path) {
  std::string unit = Packaging::kUnitTemplate;
  const std::string placeholder = Platform::kExecStartPlaceholder;
  return unit.replace(unit.find(placeholder), placeholder.size(), Platform::SystemdExecStart(path));
}

// A scratch install directory, package unit directory and udev rules directory, with a
// systemctl and a udevadm that only record their arguments.
class ServiceUnitTest : public ::testing::Test {
 protected:
  // The directories' variables are set again by each test; the search path is put back.
  ServiceUnitTest() : unitDir(Made("etc-units")), packageDir(Made("lib-units")), rulesDir(Made("etc-rules")) {
    setenv("OVANTA_UNIT_DIR", unitDir.c_str(), 1);
    setenv("OVANTA_PACKAGE_UNIT_DIR", packageDir.c_str(), 1);
    setenv("OVANTA_UDEV_DIR", rulesDir.c_str(), 1);
    setenv("PATH", (FakeTools() + ":" + path).c_str(), 1);
  }
  ~ServiceUnitTest() override { setenv("PATH", path.c_str(), 1); }

  std::string Made(const std::string& name) {
    std::filesystem::create_directories(dir.File(name));
    return dir.File(name);
  }
  std::string FakeTools() {
    const std::string bin = Made("bin");
    for (const char* tool : {"systemctl", "udevadm"}) {
      WriteFile(bin + "/" + tool, std::string("#!/bin/sh\necho ") + tool + " \"$@\" >> " + dir.File("calls") + "\n");
      std::filesystem::permissions(bin + "/" + tool, std::filesystem::perms::owner_all);
    }
    return bin;
  }
  std::string Calls() const { return ReadFile(dir.File("calls")); }

  const std::string path = std::getenv("PATH");
  TempDir dir;
  const std::string unitDir, packageDir, rulesDir;
  const std::string unitFile = unitDir + "/ovanta-hardware.service";
  const std::string packageUnitFile = packageDir + "/ovanta-hardware.service";
  const std::string rulesFile = rulesDir + "/60-ovanta-hardware.rules";
  std::unique_ptr<Platform::IServiceControl> control = Platform::MakeSystemdServiceControl();
  std::string error;
};

// "-i": the unit names the program's path (quoted and escaped for ExecStart=) once, the udev
// rules are written, both files end in a newline, the path reads back and the unit is enabled.
TEST_F(ServiceUnitTest, InstallWritesTheEmbeddedFilesWithTheProgramsPath) {
  const std::string path = "/opt/ovanta 2%/ovanta-hardware";
  ASSERT_TRUE(control->Create(
      {kServiceName, path, kServiceDescription, Packaging::kUdevRules, Packaging::kUnitTemplate, {}}, error))
      << error;
  const std::string unit = ReadFile(unitFile);
  EXPECT_EQ(unit, PackagedUnit(path));
  const size_t execStart = unit.find("\nExecStart=\"/opt/ovanta 2%%/ovanta-hardware\"\n");
  EXPECT_NE(execStart, std::string::npos);
  EXPECT_EQ(unit.find("ExecStart=", execStart + 2), std::string::npos) << "a second ExecStart= line";
  EXPECT_EQ(ReadFile(rulesFile), Packaging::kUdevRules);
  EXPECT_EQ(unit.back(), '\n');
  EXPECT_EQ(std::string(Packaging::kUdevRules).back(), '\n');
  std::string configured;
  ASSERT_TRUE(control->ConfiguredBinaryPath(kServiceName, configured, error)) << error;
  EXPECT_EQ(configured, path);
  EXPECT_NE(Calls().find("systemctl enable ovanta-hardware.service"), std::string::npos) << Calls();
}

TEST_F(ServiceUnitTest, APackagesUnitIsOverriddenByAMovedProgramAndOnlyTheOverrideIsUninstalled) {
  const std::string packaged = PackagedUnit("/usr/sbin/ovanta-hardware");
  WriteFile(packageUnitFile, packaged);
  EXPECT_TRUE(control->Exists(kServiceName, error)) << error;
  std::string configured;
  ASSERT_TRUE(control->ConfiguredBinaryPath(kServiceName, configured, error)) << error;
  EXPECT_EQ(configured, "/usr/sbin/ovanta-hardware");
  EXPECT_FALSE(control->Delete(kServiceName, error));  // nothing of its own to remove
  EXPECT_NE(error.find("installed by a package (" + packageUnitFile + ")"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(packageUnitFile), packaged);
  EXPECT_EQ(Calls(), "");

  ASSERT_TRUE(control->ChangeBinaryPath(kServiceName, "/opt/ovanta/ovanta-hardware", error)) << error;
  EXPECT_EQ(ReadFile(packageUnitFile), packaged);
  EXPECT_EQ(ReadFile(unitFile), PackagedUnit("/opt/ovanta/ovanta-hardware"));
  ASSERT_TRUE(control->ConfiguredBinaryPath(kServiceName, configured, error)) << error;
  EXPECT_EQ(configured, "/opt/ovanta/ovanta-hardware");
  EXPECT_NE(Calls().find("systemctl daemon-reload"), std::string::npos) << Calls();

  WriteFile(rulesFile, Packaging::kUdevRules);
  std::filesystem::remove(dir.File("calls"));
  error.clear();
  EXPECT_FALSE(control->Delete(kServiceName, error));
  EXPECT_NE(error.find("removed " + unitFile), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(unitFile));
  EXPECT_FALSE(std::filesystem::exists(rulesFile));
  EXPECT_EQ(ReadFile(packageUnitFile), packaged);
  EXPECT_EQ(Calls().find("disable"), std::string::npos) << Calls();
  EXPECT_NE(Calls().find("systemctl daemon-reload"), std::string::npos) << Calls();
  EXPECT_TRUE(control->Exists(kServiceName, error));
}

}  // namespace

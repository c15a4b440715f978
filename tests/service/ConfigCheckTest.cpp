#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "service/ConfigCheck.h"
#include "tests/service/TestFiles.h"

namespace {

const std::string kHardware = "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]\n";
const std::string kHardwarePreferences =
    "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]\n";
const std::string kSoftware = "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\SoftwareService]\n";

struct Checked {
  int status;
  std::string out, err;
};

std::string Text(std::FILE* stream) {
  std::string text;
  std::rewind(stream);
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) text.append(buffer, n);
  std::fclose(stream);
  return text;
}

// The check against a registry store holding `store`, in a folder of its own; directories named
// "locked" take no new files.
class ConfigCheck : public ::testing::Test {
 protected:
  Checked Check(const std::string& store) {
    WriteFile(dir.File("registry.ini"), store);
    const std::string before = ReadFile(dir.File("registry.ini"));
    ConfigCheckEnvironment environment;
    environment.canWrite = [](const std::string& directory) { return directory.find("locked") == std::string::npos; };
    std::FILE *out = std::tmpfile(), *err = std::tmpfile();
    const int status = CheckConfiguration(out, err, environment);
    // Nothing is written: the store is as it was, and no spool or log was made.
    EXPECT_EQ(ReadFile(dir.File("registry.ini")), before);
    return {status, Text(out), Text(err)};
  }
  // The line the check printed for a setting, without its padding.
  static std::string Line(const std::string& out, const std::string& name) {
    const size_t at = out.find("  " + name + " ");
    if (at == std::string::npos) return "";
    const size_t end = out.find('\n', at);
    std::string line = out.substr(at + 2, end - at - 2);
    const size_t value = line.find_first_not_of(' ', name.size());
    return name + " " + line.substr(value);
  }
  TempDir dir;
  ScopedRegistry registry{dir.File("registry.ini")};
};

TEST_F(ConfigCheck, AnEmptyStoreIsEveryDefault) {
  const Checked checked = Check("");
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(Line(checked.out, "LogFlags"), "LogFlags 1  (default)");
  EXPECT_EQ(Line(checked.out, "BaudRate"), "BaudRate 57600  (default)");
  EXPECT_EQ(Line(checked.out, "SpoolMaxAgeDays"), "SpoolMaxAgeDays 7  (default)");
  EXPECT_EQ(Line(checked.out, "Uri"), "Uri http://127.0.0.1:8630/  (default)");
  EXPECT_EQ(Line(checked.out, "Ports"), "Ports (empty)  (default)");
  EXPECT_NE(checked.out.find("registry store: " + dir.File("registry.ini")), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("spool")));
}

// The value in effect and its source: the preference subkey before the plain key for the values
// read through the preference store, the plain key alone for the others.
TEST_F(ConfigCheck, EachValueComesFromWhereTheServiceReadsIt) {
  const Checked checked =
      Check(kHardware + "Ports=/dev/ttyS0\nBaudRate=0x9600\nLogFlags=17\n" + kHardwarePreferences +
            "LogFlags=17\nReconnectOnSoftReset=1\nLastChannel(/dev/ttyACM0)=15\n" + kSoftware + "Uri=\n");
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(Line(checked.out, "Ports"), "Ports /dev/ttyS0  (key)");
  EXPECT_EQ(Line(checked.out, "BaudRate"), "BaudRate 0x9600  (key)");
  EXPECT_EQ(Line(checked.out, "LogFlags"), "LogFlags 17  (preference subkey)");
  EXPECT_EQ(Line(checked.out, "ReconnectOnSoftReset"), "ReconnectOnSoftReset 1  (preference subkey)");
  // An empty address is the default one.
  EXPECT_EQ(Line(checked.out, "Uri"), "Uri http://127.0.0.1:8630/  (default (empty))");
}

// Lines starting with ';' or '#' are comments, also with a setting in them (the shipped example
// store is one): neither read nor reported.
TEST_F(ConfigCheck, CommentedOutSettingsAreNeitherReadNorReported) {
  const Checked checked = Check(kHardware + "; LogFlags=31\n# Spooldir=/tmp\n  ;BaudRate=9600\nPorts=/dev/ttyS1\n");
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(Line(checked.out, "LogFlags"), "LogFlags 1  (default)");
  EXPECT_EQ(Line(checked.out, "BaudRate"), "BaudRate 57600  (default)");
  EXPECT_EQ(Line(checked.out, "Ports"), "Ports /dev/ttyS1  (key)");
}

// The example store the package ships changes nothing and has nothing to report, also with its
// settings uncommented (on Linux, where its paths are this system's).
TEST_F(ConfigCheck, TheShippedExampleStoreIsSound) {
  const std::string example = ReadFile(std::string(OVANTA_EXAMPLES_DIR) + "/registry.ini");
  ASSERT_NE(example.find("[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService]"), std::string::npos);
  Checked checked = Check(example);
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(checked.out.find("(key)"), std::string::npos);
  EXPECT_EQ(checked.out.find("(preference subkey)"), std::string::npos);
  // Uncommented: every value is read and none is reported as unknown or unreadable.
  std::string uncommented;
  for (size_t start = 0, end; start < example.size(); start = end + 1) {
    end = std::min(example.find('\n', start), example.size());
    std::string line = example.substr(start, end - start);
    if (line.size() > 1 && line[0] == ';' && line.find('=') != std::string::npos && line[1] != ' ') line.erase(0, 1);
    uncommented += line + "\n";
  }
  std::filesystem::create_directories(dir.File("log"));
  const auto at = uncommented.find("Log20Location=");
  uncommented.replace(at, uncommented.find('\n', at) - at, "Log20Location=" + dir.File("log/service.log"));
  const auto spool = uncommented.find("SpoolDirectory=");
  uncommented.replace(spool, uncommented.find('\n', spool) - spool, "SpoolDirectory=" + dir.File("spool"));
  checked = Check(uncommented);
  EXPECT_EQ(checked.err, "");
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(Line(checked.out, "Ports"), "Ports /dev/ttyS0;/dev/ttyUSB3  (key)");
  EXPECT_EQ(Line(checked.out, "LogFlags"), "LogFlags 1  (preference subkey)");
}

// Each problem alone: one line naming the setting, and exit status 1.
TEST_F(ConfigCheck, EachProblemIsOneLineNamingTheSetting) {
  WriteFile(dir.File("file"), "");
  std::filesystem::create_directories(dir.File("locked"));
  const std::string hs = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
  struct Case {
    std::string store, err;
  };
  const Case cases[] = {
      {kHardware + "LogFlags=seventeen\n",
       "LogFlags: \"seventeen\" is not a number (decimal, or hexadecimal after 0x); the service uses 1 instead"},
      {kHardwarePreferences + "BaudRate=-9600\n",
       "BaudRate: under " + hs + "\\com.vantrel.Preferences is not read: the service reads it from " + hs + " only"},
      {kHardware + "BaudRate=-9600\n",
       "BaudRate: \"-9600\" is not a number (decimal, or hexadecimal after 0x); the service uses 57600 instead"},
      {kHardware + "SpoolMaxAgeDays=0x1G\n",
       "SpoolMaxAgeDays: \"0x1G\" is not a number (decimal, or hexadecimal after 0x); the service uses 7 instead"},
      {kHardware + "LogFlags=4294967296\n",
       "LogFlags: \"4294967296\" is not a number (decimal, or hexadecimal after 0x); the service uses 1 instead"},
      {kHardware + "Spooldir=/tmp\n", "Spooldir: under " + hs + " is not a setting the service reads"},
      {kSoftware + "Port=8630\n",
       "Port: under SOFTWARE\\Vantrel\\Voxlet\\SoftwareService is not a setting the service reads"},
      {kHardwarePreferences + "LastChannel(/dev/ttyACM0)=x\n",
       "LastChannel(/dev/ttyACM0): \"x\" is not a number (decimal, or hexadecimal after 0x); the service uses -1 "
       "instead"},
      {kHardware + "Log20Location=" + dir.File("file") + "/service.log\n",
       "Log20Location: " + dir.File("file") + "/service.log cannot be created: " + dir.File("file") +
           " is not a directory"},
      {kHardware + "Log20Location=" + dir.Path() + "\n", "Log20Location: " + dir.Path() + " is a directory"},
      {kHardware + "SpoolDirectory=" + dir.File("locked") + "\n",
       "SpoolDirectory: " + dir.File("locked") + " does not take new files"},
      {kHardware + "SpoolDirectory=" + dir.File("locked") + "/a/spool\n",
       "SpoolDirectory: " + dir.File("locked") + "/a/spool cannot be created: " + dir.File("locked") +
           " does not take new files"},
      {kHardware + "SpoolDirectory=" + dir.File("file") + "\n",
       "SpoolDirectory: " + dir.File("file") + " is not a directory"},
      {kSoftware + "Uri=ftp://127.0.0.1/\n",
       "Uri: \"ftp://127.0.0.1/\" is not an address the service can connect to (http://host[:port][/path])"},
      {kSoftware + "Uri=http://127.0.0.1:86300/\n",
       "Uri: \"http://127.0.0.1:86300/\" is not an address the service can connect to (http://host[:port][/path])"},
  };
  for (const Case& c : cases) {
    const Checked checked = Check(c.store);
    EXPECT_EQ(checked.status, 1) << c.store;
    EXPECT_EQ(checked.err, "ovanta-hardware: " + c.err + "\n") << c.store;
  }
}

// A value in the preference subkey hides a different one in the plain key, as the service
// writes its log settings there: a warning, not a problem. The same value twice says nothing.
TEST_F(ConfigCheck, APreferenceValueHidingAnotherIsAWarning) {
  Checked checked = Check(kHardware + "LogFlags=31\nLog20Location=" + dir.File("b.log") + "\n" + kHardwarePreferences +
                          "LogFlags=1\nLog20Location=" + dir.File("b.log") + "\n");
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err,
            "ovanta-hardware: warning: LogFlags: the preference subkey's \"1\" is used; the plain key's \"31\" is "
            "ignored\n");
  EXPECT_EQ(Line(checked.out, "LogFlags"), "LogFlags 1  (preference subkey)");
  // Problems and warnings together: every one is told, the status is the problems'.
  checked = Check(kHardware + "LogFlags=31\nBogus=1\n" + kHardwarePreferences + "LogFlags=x\n");
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.err,
            "ovanta-hardware: warning: LogFlags: the preference subkey's \"x\" is used; the plain key's \"31\" is "
            "ignored\n"
            "ovanta-hardware: LogFlags: \"x\" is not a number (decimal, or hexadecimal after 0x); the service uses 1 "
            "instead\n"
            "ovanta-hardware: Bogus: under SOFTWARE\\Vantrel\\Voxlet\\HardwareService is not a setting the service "
            "reads\n");
}

}  // namespace

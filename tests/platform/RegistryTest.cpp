#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"

namespace {

namespace fs = std::filesystem;

const std::string kKey = "SOFTWARE\\Vantrel\\Voxlet\\HardwareService";
const std::string kPreferences = "com.vantrel.Preferences";

// Points the registry store at a file in a fresh directory for each test.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ovanta-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    file = dir / "registry.ini";
    setenv("OVANTA_REGISTRY", file.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("OVANTA_REGISTRY");
    fs::remove_all(dir);
  }
  void WriteFile(const std::string& text) { std::ofstream(file) << text; }
  std::string FileText() {
    std::stringstream s;
    s << std::ifstream(file).rdbuf();
    return s.str();
  }
  fs::path dir, file;
};

TEST_F(Registry, MissingOrUnreadableFileGivesDefaults) {
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 115200, kRegistryStoreName), 115200u);
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "none", kPreferences), "none");
  fs::create_directory(file);  // a directory where the file should be
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 7, kRegistryStoreName), 7u);
  EXPECT_FALSE(WriteRegistryDword(0, kKey, "BaudRate", 9, kRegistryStoreName));
}

TEST_F(Registry, ValuesWrittenAreReadBack) {
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 4294967295u, kRegistryStoreName));
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "/dev/pts/3;/dev/ttyS0", kRegistryStoreName));
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 57600, kRegistryStoreName));  // replaced in place
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 0, kRegistryStoreName), 57600u);
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "", kRegistryStoreName), "/dev/pts/3;/dev/ttyS0");
  const std::string text = FileText();
  EXPECT_EQ(text.find("BaudRate"), text.rfind("BaudRate"));
  EXPECT_NE(text.find("[HKEY_LM\\" + kKey + "]"), std::string::npos);
}

TEST_F(Registry, RootsAreSeparate) {
  ASSERT_TRUE(WriteRegistryDword(1, kKey, "Mask", 3, kRegistryStoreName));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "Mask", 99, kRegistryStoreName), 99u);
  EXPECT_EQ(ReadRegistryDword(2, kKey, "Mask", 99, kRegistryStoreName), 99u);
  EXPECT_EQ(ReadRegistryDword(1, kKey, "Mask", 99, kRegistryStoreName), 3u);
  EXPECT_NE(FileText().find("[HKEY_CU\\"), std::string::npos);
}

TEST_F(Registry, StoreNameIsOneMoreKeyComponent) {
  EXPECT_EQ(RegistryKeyPath(kKey, kPreferences), kKey + "\\" + kPreferences);
  EXPECT_EQ(RegistryKeyPath(kKey, kRegistryStoreName), kKey);
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "/dev/ttyACM7", kPreferences));
  EXPECT_NE(FileText().find("[HKEY_LM\\" + kKey + "\\" + kPreferences + "]"), std::string::npos);
  // The registry itself does not see a value kept in a named store.
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "-", kRegistryStoreName), "-");
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "-", kPreferences), "/dev/ttyACM7");
}

TEST_F(Registry, NamedStoreFallsBackToThePlainKey) {
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 9600, kRegistryStoreName));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kPreferences), 9600u);
  ASSERT_TRUE(WriteRegistryDword(0, kKey, "BaudRate", 19200, kPreferences));
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kPreferences), 19200u);
  EXPECT_EQ(ReadRegistryDword(0, kKey, "BaudRate", 1, kRegistryStoreName), 9600u);
}

TEST_F(Registry, SlashesAndOuterBackslashesAreNormalised) {
  EXPECT_EQ(RegistryKeyPath("/SOFTWARE/Vantrel//", kRegistryStoreName), "SOFTWARE\\Vantrel");
  EXPECT_EQ(RegistryKeyPath("\\\\SOFTWARE\\Vantrel\\", kRegistryStoreName), "SOFTWARE\\Vantrel");
  EXPECT_EQ(RegistryKeyPath("SOFTWARE\\Vantrel\\", kPreferences), "SOFTWARE\\Vantrel\\" + kPreferences);
  EXPECT_EQ(RegistryKeyPath("SOFTWARE/Vantrel/", kPreferences), "SOFTWARE\\Vantrel\\" + kPreferences);
  EXPECT_EQ(RegistryKeyPath("", kPreferences), kPreferences);
  EXPECT_EQ(RegistryKeyPath("\\\\", kRegistryStoreName), "");

  ASSERT_TRUE(WriteRegistryDword(0, "SOFTWARE/Vantrel/Voxlet/", "Level", 4, kPreferences));
  EXPECT_EQ(ReadRegistryDword(0, "\\SOFTWARE\\Vantrel\\Voxlet", "Level", 0, kPreferences), 4u);
}

TEST_F(Registry, KeyAndValueNamesIgnoreCase) {
  ASSERT_TRUE(WriteRegistryString(0, kKey, "Ports", "/dev/ttyUSB0", kRegistryStoreName));
  EXPECT_EQ(ReadRegistryString(0, "software\\vantrel\\VOXLET\\hardwareservice", "PORTS", "", kRegistryStoreName),
            "/dev/ttyUSB0");
  ASSERT_TRUE(WriteRegistryString(0, "SOFTWARE\\VANTREL\\voxlet\\HardwareService", "ports", "/dev/ttyUSB1",
                                  kRegistryStoreName));
  EXPECT_EQ(ReadRegistryString(0, kKey, "Ports", "", kRegistryStoreName), "/dev/ttyUSB1");
  const std::string text = FileText();
  EXPECT_EQ(text.find("[HKEY_LM"), text.rfind("[HKEY_LM"));  // no second section
}

TEST_F(Registry, UnreadableNumbersGiveTheDefault) {
  WriteFile("[HKEY_LM\\" + kKey +
            "]\n"
            "Word=abc\nNegative=-1\nTooBig=4294967296\nTrailing=12x\nEmpty=\nGood= 42 \n");
  for (const char* name : {"Word", "Negative", "TooBig", "Trailing", "Empty", "Missing"})
    EXPECT_EQ(ReadRegistryDword(0, kKey, name, 77, kRegistryStoreName), 77u) << name;
  EXPECT_EQ(ReadRegistryDword(0, kKey, "Good", 77, kRegistryStoreName), 42u);
}

TEST_F(Registry, LineBreaksInValuesAreRefused) {
  EXPECT_FALSE(WriteRegistryString(0, kKey, "Ports", "a\n[HKEY_LM\\Other]", kRegistryStoreName));
  EXPECT_FALSE(WriteRegistryString(0, kKey, "A=B", "x", kRegistryStoreName));
  EXPECT_EQ(ReadRegistryString(0, "Other", "Ports", "-", kRegistryStoreName), "-");
}

TEST_F(Registry, ValuesOfOtherKeysSurviveARewrite) {
  WriteFile("; comment kept\n[HKEY_LM\\A]\nOne=1\n\n[HKEY_LM\\B]\nTwo=2\n");
  ASSERT_TRUE(WriteRegistryDword(0, "A", "Three", 3, kRegistryStoreName));
  ASSERT_TRUE(WriteRegistryDword(0, "C", "Four", 4, kRegistryStoreName));
  EXPECT_EQ(ReadRegistryDword(0, "A", "One", 0, kRegistryStoreName), 1u);
  EXPECT_EQ(ReadRegistryDword(0, "A", "Three", 0, kRegistryStoreName), 3u);
  EXPECT_EQ(ReadRegistryDword(0, "B", "Two", 0, kRegistryStoreName), 2u);
  EXPECT_EQ(ReadRegistryDword(0, "C", "Four", 0, kRegistryStoreName), 4u);
  EXPECT_EQ(ReadRegistryDword(0, "B", "Three", 0, kRegistryStoreName), 0u);
  EXPECT_NE(FileText().find("; comment kept"), std::string::npos);
}

// Each write rewrites the whole file; writers in parallel must not lose each other's values.
TEST_F(Registry, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4, kValues = 25;
  std::vector<std::jthread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int v = 0; v < kValues; ++v) {
        const std::string key = "SOFTWARE\\Writer" + std::to_string(t % 2);
        EXPECT_TRUE(WriteRegistryDword(0, key, "V" + std::to_string(t) + "_" + std::to_string(v),
                                       static_cast<uint32_t>(t * 1000 + v), kRegistryStoreName));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < kThreads; ++t)
    for (int v = 0; v < kValues; ++v)
      EXPECT_EQ(ReadRegistryDword(0, "SOFTWARE\\Writer" + std::to_string(t % 2),
                                  "V" + std::to_string(t) + "_" + std::to_string(v), 999999, kRegistryStoreName),
                static_cast<uint32_t>(t * 1000 + v));
}

}  // namespace

// The registry functions on the Windows registry itself (under Wine, Wine's): DWORDs as
// REG_DWORD, strings as REG_SZ, the same keys as the file store, and the preference store rule.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace {

// A key of its own under HKEY_CURRENT_USER for each test, deleted with it; OVANTA_REGISTRY
// (which would name a file store) is unset meanwhile.
class SystemRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("OVANTA_REGISTRY")) m_old = old;
    _putenv_s("OVANTA_REGISTRY", "");
    ASSERT_EQ(Platform::RegistryFilePath(), "");
    base = "SOFTWARE\\OvantaTests\\" + std::to_string(GetCurrentProcessId()) + "\\" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }
  void TearDown() override {
    RegDeleteTreeA(HKEY_CURRENT_USER, "SOFTWARE\\OvantaTests");
    _putenv_s("OVANTA_REGISTRY", m_old.c_str());
  }
  // The type and size (in bytes) of a value as the registry keeps it; 0 when it is not there.
  // The test's key and value names are ASCII.
  DWORD TypeOf(const std::string& key, const std::string& name, DWORD* size = nullptr) const {
    DWORD type = 0, bytes = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, std::wstring(key.begin(), key.end()).c_str(),
                     std::wstring(name.begin(), name.end()).c_str(), RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr,
                     &bytes) != ERROR_SUCCESS)
      return 0;
    if (size) *size = bytes;
    return type;
  }
  // A string value's UTF-16 text as the registry keeps it.
  std::wstring TextOf(const std::string& key, const std::string& name) const {
    wchar_t text[256] = {};
    DWORD bytes = sizeof text;
    RegGetValueW(HKEY_CURRENT_USER, std::wstring(key.begin(), key.end()).c_str(),
                 std::wstring(name.begin(), name.end()).c_str(), RRF_RT_REG_SZ, nullptr, text, &bytes);
    return text;
  }

  std::string base;
  const int user = Platform::kCurrentUser;
  const std::string plain = kRegistryStoreName, preferences = "com.vantrel.Preferences";

 private:
  std::string m_old;
};

TEST_F(SystemRegistry, NumbersAreDwordsAndTextIsRegSzReadBackWhateverTheCase) {
  ASSERT_TRUE(WriteRegistryDword(user, base, "BaudRate", 4294967295u, plain));
  ASSERT_TRUE(WriteRegistryString(user, base, "Ports", "COM5;COM7", plain));
  EXPECT_EQ(TypeOf(base, "BaudRate"), static_cast<DWORD>(REG_DWORD));
  DWORD size = 0;
  EXPECT_EQ(TypeOf(base, "Ports", &size), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof(wchar_t) * 10);  // the text and its terminator
  EXPECT_EQ(ReadRegistryDword(user, base, "baudrate", 0, plain), 4294967295u);
  EXPECT_EQ(ReadRegistryString(user, base, "PORTS", "", plain), "COM5;COM7");
  // A DWORD read as a string is its decimal digits, as in the file store; text that is a whole
  // number reads as one.
  EXPECT_EQ(ReadRegistryString(user, base, "BaudRate", "", plain), "4294967295");
  ASSERT_TRUE(WriteRegistryString(user, base, "Retries", "12", plain));
  EXPECT_EQ(ReadRegistryDword(user, base, "Retries", 0, plain), 12u);
  ASSERT_TRUE(WriteRegistryString(user, base, "Retries", "12x", plain));
  EXPECT_EQ(ReadRegistryDword(user, base, "Retries", 7, plain), 7u);
  // Text outside ASCII survives the round trip through the registry's UTF-16.
  ASSERT_TRUE(WriteRegistryString(user, base, "Room", "Salle 2 \xC3\xA9t\xC3\xA9", plain));
  EXPECT_EQ(TextOf(base, "Room"), L"Salle 2 \u00e9t\u00e9");
  EXPECT_EQ(ReadRegistryString(user, base, "Room", "", plain), "Salle 2 \xC3\xA9t\xC3\xA9");
}

TEST_F(SystemRegistry, MissingKeysAndValuesGiveTheDefault) {
  EXPECT_EQ(ReadRegistryDword(user, base + "\\Nowhere", "BaudRate", 9600, plain), 9600u);
  EXPECT_EQ(ReadRegistryString(user, base + "\\Nowhere", "Ports", "none", preferences), "none");
  ASSERT_TRUE(WriteRegistryDword(user, base, "Present", 1, plain));
  EXPECT_EQ(ReadRegistryDword(user, base, "Absent", 5, plain), 5u);
  EXPECT_EQ(Platform::ReadStoredValue(user, base, "Absent"), std::nullopt);
}

// The preference store is the subkey "com.vantrel.Preferences" of the key; a read from it
// falls back to the key itself, never the other way round.
TEST_F(SystemRegistry, ThePreferenceStoreIsASubkeyThatFallsBackToThePlainKey) {
  ASSERT_TRUE(WriteRegistryString(user, base + "\\", "Ports", "COM9", preferences));
  EXPECT_EQ(TypeOf(base + "\\" + preferences, "Ports"), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(TypeOf(base, "Ports"), 0u);
  EXPECT_EQ(ReadRegistryString(user, base, "Ports", "-", plain), "-");
  EXPECT_EQ(ReadRegistryString(user, base, "Ports", "-", preferences), "COM9");

  ASSERT_TRUE(WriteRegistryDword(user, base, "BaudRate", 9600, plain));
  EXPECT_EQ(ReadRegistryDword(user, base, "BaudRate", 1, preferences), 9600u);
  ASSERT_TRUE(WriteRegistryDword(user, "/" + base + "/", "BaudRate", 19200, preferences));
  EXPECT_EQ(ReadRegistryDword(user, base, "BaudRate", 1, preferences), 19200u);
  EXPECT_EQ(ReadRegistryDword(user, base, "BaudRate", 1, plain), 9600u);
}

// A key's value names, whatever their type; none for a key that is not there.
TEST_F(SystemRegistry, ValueNamesOfAKeyAreListed) {
  ASSERT_TRUE(WriteRegistryDword(user, base, "BaudRate", 9600, plain));
  ASSERT_TRUE(WriteRegistryString(user, base, "Ports", "COM5", plain));
  std::vector<std::string> names = Platform::StoredValueNames(user, base);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"BaudRate", "Ports"}));
  EXPECT_TRUE(Platform::StoredValueNames(user, base + "\\Missing").empty());
}

// An expandable string (REG_EXPAND_SZ, as administrators and installers write paths) reads as
// the system reads it, its %variables% replaced, however long the result; a variable that is
// not set stays as written.
TEST_F(SystemRegistry, ExpandableStringsReadWithTheirVariablesReplaced) {
  const std::wstring folder = L"D:\\Protokolle\\M\u00fcller" + std::wstring(300, L'x');
  ASSERT_TRUE(SetEnvironmentVariableW(L"OVANTA_TEST_FOLDER", folder.c_str()));
  const auto writeExpandable = [&](const char* name, const std::wstring& text) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, std::wstring(base.begin(), base.end()).c_str(),
                           std::wstring(name, name + strlen(name)).c_str(), REG_EXPAND_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  };
  ASSERT_TRUE(writeExpandable("Log20Location", L"%OVANTA_TEST_FOLDER%\\hw.log"));
  ASSERT_TRUE(writeExpandable("Other", L"%OVANTA_NO_SUCH_VARIABLE%\\hw.log"));
  const std::string expected = "D:\\Protokolle\\M\xC3\xBCller" + std::string(300, 'x') + "\\hw.log";
  EXPECT_EQ(ReadRegistryString(user, base, "Log20Location", "", plain), expected);
  EXPECT_EQ(ReadRegistryString(user, base, "Other", "", plain), "%OVANTA_NO_SUCH_VARIABLE%\\hw.log");
  SetEnvironmentVariableW(L"OVANTA_TEST_FOLDER", nullptr);
}

// With OVANTA_REGISTRY naming a file, the same calls use the file store and leave the
// registry alone.
TEST_F(SystemRegistry, AFileNamedByTheEnvironmentIsUsedInstead) {
  char directory[MAX_PATH] = {};
  ASSERT_GT(GetTempPathA(sizeof directory, directory), 0u);
  const std::string file = std::string(directory) + "ovanta-registry-" + std::to_string(GetCurrentProcessId());
  _putenv_s("OVANTA_REGISTRY", file.c_str());
  ASSERT_TRUE(WriteRegistryDword(user, base, "BaudRate", 57600, plain));
  EXPECT_EQ(ReadRegistryDword(user, base, "BaudRate", 0, plain), 57600u);
  EXPECT_EQ(TypeOf(base, "BaudRate"), 0u);
  _putenv_s("OVANTA_REGISTRY", "");
  EXPECT_EQ(ReadRegistryDword(user, base, "BaudRate", 0, plain), 0u);
  DeleteFileA(file.c_str());
  DeleteFileA((file + ".lock").c_str());
}

}  // namespace

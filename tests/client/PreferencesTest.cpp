#include <gtest/gtest.h>

#include "client/HardwareServicePreferences.h"
#include "client/Preferences.h"
#include "platform/Registry.h"
#include "tests/service/TestFiles.h"

namespace Voxlet::Preferences {
namespace {

class PreferencesStore : public ::testing::Test {
 protected:
  void WriteStore(const std::string& text) { WriteFile(m_dir.File("registry.ini"), text); }

  const StringBuffer m_hardwareKey = StringBuffer(Path) + u"\\" + HardwareService::Key;
  const StringBuffer m_installKey = StringBuffer(Path) + u"\\" + Install::Key;

  TempDir m_dir;
  ScopedRegistry m_registry{m_dir.File("registry.ini")};
};

// The preference file is one more key component under the key (the fall-back to the plain key is
// the registry store's test).
TEST_F(PreferencesStore, PreferenceFileIsOneMoreKeyComponentOverThePlainKey) {
  WriteStore(
      "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]\n"
      "ScanThresholdGoodPoor=35\n");
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, HardwareService::ScanThresholdGoodPoor, 0), 35);

  ASSERT_TRUE(WriteIntegerValue(File, m_hardwareKey, u"LastChannel(Receiver 1)", 15));
  const Platform::RegistryStore store;
  EXPECT_EQ(store.Read(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences",
                       "LastChannel(Receiver 1)"),
            "15");
  EXPECT_FALSE(
      store.Read(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\HardwareService", "LastChannel(Receiver 1)"));
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, u"LastChannel(Receiver 1)", -1), 15);
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, u"LastChannel(Receiver 2)", -1), -1);
}

// Missing or unreadable values give the default; an empty string is a stored value. The software
// service's address comes from the registry itself, its default when missing or empty.
TEST_F(PreferencesStore, MissingOrUnreadableValuesGiveTheDefault) {
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, HardwareService::ChannelAnalysis, 7), 7);
  EXPECT_EQ(ReadStringValue(File, m_installKey, u"SMTPServer", u"mail.example"), u"mail.example");
  EXPECT_EQ(SoftwareService::GetUri(), SoftwareService::DefaultUri);
  WriteStore(
      "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\HardwareService\\com.vantrel.Preferences]\n"
      "ChannelAnalysis=on\n"
      "ChannelAnalysisFrequency=0x1E\n"
      "ScanThresholdExcellentGood=\n"
      "[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\SoftwareService]\n"
      "Uri=\n");
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, HardwareService::ChannelAnalysis, 5), 5);
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, HardwareService::ChannelAnalysisFrequency, 60), 30);
  EXPECT_EQ(ReadIntegerValue(File, m_hardwareKey, HardwareService::ScanThresholdExcellentGood, 10), 10);
  EXPECT_EQ(ReadStringValue(File, m_hardwareKey, HardwareService::ScanThresholdExcellentGood, u"x"), u"");
  EXPECT_EQ(SoftwareService::GetUri(), SoftwareService::DefaultUri);
  WriteStore("[HKEY_LM\\SOFTWARE\\Vantrel\\Voxlet\\SoftwareService]\nUri=http://127.0.0.1:9999/\n");
  EXPECT_EQ(SoftwareService::GetUri(), u"http://127.0.0.1:9999/");
}

}  // namespace
}  // namespace Voxlet::Preferences

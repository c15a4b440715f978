// The clicker registry: records, the battery reports they lead to, and its use from two threads.
#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "bridge/ClickerRegistry.h"

namespace {

const Voxlet::StringBuffer kReceiver = u"receiver.00-12-4B-00-0A-0B-0C-0D";

}  // namespace

TEST(ClickerRegistry, EndpointIdIsReceiverAndAddressWhateverTheLocale) {
  const icu::Locale before = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("de_DE"), status);
  const Voxlet::StringBuffer id = ClickerRegistry::EndpointIdOf(kReceiver, 4096);
  icu::Locale::setDefault(before, status);
  EXPECT_EQ(id, u"clickerhardware." + kReceiver + u".4096");
}

TEST(ClickerRegistry, FirstReportCreatesTheRecordInBothMaps) {
  ClickerRegistry registry;
  const auto first = registry.ReportStatus(0x0101, 0, 40, kReceiver);
  EXPECT_TRUE(first.created);
  EXPECT_FALSE(first.relay);
  EXPECT_EQ(first.clicker.shortAddress, 0x0101);
  ASSERT_TRUE(registry.FindByAddress(0x0101));
  ASSERT_TRUE(registry.FindByEndpoint(first.clicker.endpointId));
  EXPECT_EQ(registry.FindByEndpoint(first.clicker.endpointId)->linkQuality, 40);

  const auto again = registry.ReportStatus(0x0101, 0, 35, kReceiver);
  EXPECT_FALSE(again.created);
  EXPECT_TRUE(again.relay);
  // A heartbeat (0, 0) for a known clicker reports nothing and changes nothing.
  const auto heartbeat = registry.ReportStatus(0x0101, 0, 0, kReceiver);
  EXPECT_FALSE(heartbeat.created || heartbeat.relay || heartbeat.lowBattery || heartbeat.goodBattery);
  EXPECT_EQ(registry.FindByAddress(0x0101)->linkQuality, 35);

  const auto removed = registry.Remove(0x0101);
  ASSERT_TRUE(removed);
  EXPECT_FALSE(registry.FindByAddress(0x0101));
  EXPECT_FALSE(registry.FindByEndpoint(removed->endpointId));
  EXPECT_FALSE(registry.Remove(0x0101));
}

// Low battery is reported once and only for a known student (held until the whois named one);
// a removed clicker forgets its held report.
TEST(ClickerRegistry, LowBatteryIsReportedOnceAndOnlyForAKnownStudent) {
  const std::tuple<const char*, int, const char16_t*, bool, bool> steps[] = {
      // what, battery, student set before this report (null: unchanged), low, good
      {"low before the student is known: held", 1, nullptr, false, false},
      {"still low, student still unknown", 1, nullptr, false, false},
      {"first report after the whois: the held low battery, though unchanged", 1, u"s-1", true, false},
      {"still low: not again", 1, nullptr, false, false},
      {"back to good", 0, nullptr, false, true},
      {"good again: nothing", 0, nullptr, false, false},
      {"low again", 1, nullptr, true, false},
  };
  ClickerRegistry registry;
  const auto created = registry.ReportStatus(0x0102, 0, 0, kReceiver);  // heartbeat: record only
  for (const auto& [what, battery, student, low, good] : steps) {
    if (student) {
      ASSERT_TRUE(registry.SetStudent(created.clicker.endpointId, student));
    }
    const auto outcome = registry.ReportStatus(0x0102, battery, 50, kReceiver);
    EXPECT_EQ(outcome.lowBattery, low) << what;
    EXPECT_EQ(outcome.goodBattery, good) << what;
  }
  registry.ReportStatus(0x0103, 1, 50, kReceiver);  // low, no student: held
  registry.Remove(0x0103);
  const auto fresh = registry.ReportStatus(0x0103, 0, 50, kReceiver);
  ASSERT_TRUE(registry.SetStudent(fresh.clicker.endpointId, u"s-3"));
  EXPECT_FALSE(registry.ReportStatus(0x0103, 0, 45, kReceiver).lowBattery);
}

// The dispatcher reports batteries while a client thread sets students from whois replies: each
// clicker's low battery is reported exactly once, whichever comes first.
TEST(ClickerRegistry, LowBatteryHeldAcrossAConcurrentWhoisIsReportedExactlyOnce) {
  constexpr uint16_t kClickers = 200;
  ClickerRegistry registry;
  for (uint16_t a = 1; a <= kClickers; ++a) registry.ReportStatus(a, 1, 50, kReceiver);  // all low, no student
  std::atomic<int> lowReports{0};
  {
    std::jthread whois([&] {
      for (uint16_t a = 1; a <= kClickers; ++a)
        registry.SetStudent(ClickerRegistry::EndpointIdOf(kReceiver, a), u"s-" + Voxlet::UTF8to16(std::to_string(a)));
    });
    std::jthread dispatcher([&] {
      for (int round = 0; round < 3; ++round)
        for (uint16_t a = 1; a <= kClickers; ++a)
          if (registry.ReportStatus(a, 1, 50, kReceiver).lowBattery) ++lowReports;
    });
  }
  // Clickers whose student came after the dispatcher's last round still hold theirs.
  for (uint16_t a = 1; a <= kClickers; ++a)
    if (registry.ReportStatus(a, 1, 50, kReceiver).lowBattery) ++lowReports;
  EXPECT_EQ(lowReports.load(), kClickers);
  EXPECT_EQ(registry.ShortAddresses().size(), kClickers);
  registry.Clear();
  EXPECT_EQ(registry.Size(), 0u);
}

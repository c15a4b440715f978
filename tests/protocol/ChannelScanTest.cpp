#include <gtest/gtest.h>

#include "LogCapture.h"
#include "client/XmlSchema.h"
#include "protocol/ChannelChoice.h"
#include "protocol/NetworkName.h"
#include "protocol/ScanResultsDocument.h"
#include "protocol/ScanResultsTable.h"
#include "protocol/ScanSettings.h"

namespace {

// One scan of the given channels with the given energies (no networks seen).
void Scan(ScanResultsTable& table, std::initializer_list<std::pair<int, uint8_t>> readings, const char16_t* when) {
  uint16_t mask = 0;
  std::vector<CChannelScanResults> entries;
  for (int channel = 11; channel <= 26; ++channel)
    for (const auto& [c, energy] : readings)
      if (c == channel) {
        mask |= static_cast<uint16_t>(1u << (channel - 11));
        entries.emplace_back(0, energy);
      }
  table.Update(mask, 0, entries, when);
}

ChannelChoice Choice(const ScanResultsTable& table, int current, int threshold, uint32_t random = 0) {
  ChannelChoice c;
  c.table = &table;
  c.current = current;
  c.thresholdPercent = threshold;
  c.random = [random] { return random; };
  return c;
}

}  // namespace

TEST(ScanSettingsTest, PerChannelTimeAndInterval) {
  ScanSettings s = ComputeScanSettings(14, 5, 255);
  EXPECT_TRUE(s.on);
  EXPECT_EQ(s.channelSeconds, 2);  // ceil(31 x 0.01536) = 1, at least 2
  EXPECT_EQ(s.interval, 14);
  s = ComputeScanSettings(14, 14, 14);
  EXPECT_EQ(s.channelSeconds, 504);
  EXPECT_EQ(s.interval, 506);
  EXPECT_EQ(ComputeScanSettings(14, 20, 6).activeExponent, 255);
  EXPECT_FALSE(ComputeScanSettings(0, 5, 6).on);
  EXPECT_FALSE(ComputeScanSettings(14, 0, 6).on);
  EXPECT_FALSE(ComputeScanSettings(14, 15, 16).on);  // neither kind of scan left
}

TEST(ScanResultsTableTest, ResultsFillTheirChannelsAndKeepThreeOlderReadingsAndMakeADocument) {
  ScanResultsTable table;
  table.Update(0x0003, 0x0002, {{0x0000, 40}, {0x1234, 5}}, u"t1");
  table.Update(0x0001, 0, {{0, 9}}, u"t2");
  // The document holds every channel with its history.
  const Voxlet::XmlDocumentPtr doc = BuildScanResultsDocument(table, 20, 10);
  ASSERT_NE(doc, nullptr);
  const Voxlet::StringBuffer text = Voxlet::XmlSchema::PrintDoc(doc->Root());
  for (const char16_t* element : {u"<rf channels=\"16\" thresholds=\"20 10\">",
                                  u"<ch ed=\"9\" id=\"11\" pid=\"\" timestamp=\"t2\"><ed pid=\"\" timestamp=\"t1\" "
                                  u"value=\"40\"/></ch>",
                                  u"<ch ed=\"5\" id=\"12\" pid=\"0x1234\" timestamp=\"t1\"/>",
                                  u"<ch ed=\"\" id=\"26\" pid=\"\" timestamp=\"\"/>"})
    EXPECT_NE(text.find(element), Voxlet::StringBuffer::npos) << Voxlet::UTF16to8(element);
  EXPECT_EQ(Voxlet::XmlSchema::GetAllChildElements(doc->Root()).size(), 16u);

  for (const char16_t* when : {u"t3", u"t4", u"t5"}) table.Update(0x0001, 0, {{0, 50}}, when);
  const ScanChannel& c = table.Channel(11);
  EXPECT_EQ(c.latest.timestamp, u"t5");
  ASSERT_EQ(c.history.size(), 3u);
  EXPECT_EQ(c.history[0].timestamp, u"t2");  // oldest first, the oldest of all dropped
  EXPECT_EQ(c.history[2].timestamp, u"t4");

  // More mask bits than entries: the bits past the entries are left alone.
  table.Update(0xFFFF, 0, {{0, 7}}, u"t6");
  EXPECT_EQ(table.Channel(11).latest.value, u"7");
  EXPECT_EQ(table.Channel(12).latest.value, u"5");
}

TEST(ChannelChoiceTest, QuietnessScoresWeighNewerReadingsMoreAndMakeTheThresholdZone) {
  LogCapture log;
  ScanResultsTable table;
  Scan(table, {{11, 10}, {12, 40}}, u"t1");
  EXPECT_EQ(ChooseChannel(Choice(table, -1, 10)), 11);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"Comparison P value: 0.6750\tthreshold:10",
                                      "Channel 11 P value: 0.7500 (In the zone)", "Channel 12 P value: 0.0000"}));
  // Newer readings weigh more.
  table = ScanResultsTable();
  Scan(table, {{11, 20}, {12, 20}}, u"t1");
  Scan(table, {{11, 10}}, u"t2");
  const ChannelInfo info = BuildChannelInfo(table.Channel(11), false);
  ASSERT_EQ(info.readings, (std::vector<double>{10, 20}));
  EXPECT_DOUBLE_EQ(WeightedLevel(info.readings), (10 * 4 + 20 * 1) / 5.0);
  // maxE 20: P(11) = (0.5 x 4 + 0 x 1) / 5 = 0.4, P(12) = 0; threshold 50 keeps only 11.
  LogCapture newer;
  EXPECT_EQ(ChooseChannel(Choice(table, -1, 50)), 11);
  EXPECT_EQ(newer.Count("Channel 11 P value: 0.4000 (In the zone)"), 1u);
}

TEST(ChannelChoiceTest, CurrentChannelIsKeptWhileQuietOrInTheZoneAndExcludedOnesAreNot) {
  ScanResultsTable table;
  Scan(table, {{11, 100}, {12, 5}, {13, 12}}, u"t1");
  LogCapture log;
  EXPECT_EQ(ChooseChannel(Choice(table, 12, 10)), 12);  // 5 < 10: kept without scoring
  EXPECT_TRUE(log.Lines().empty());
  // 13 (12) is not quiet, but its score 0.88 is within 10 % of the best (0.95): it stays.
  EXPECT_EQ(ChooseChannel(Choice(table, 13, 10)), 13);
  // 13 outside a 1 % zone: the zone's channels are chosen by the random number.
  EXPECT_EQ(ChooseChannel(Choice(table, 13, 1, 0)), 12);
  // Nothing scanned, excluded channels, all channels silent.
  table = ScanResultsTable();
  EXPECT_EQ(ChooseChannel(Choice(table, -1, 20)), -1);
  table.Update(0x8003, 0x0001, {{0x4242, 1}, {0, 50}, {0, 0}}, u"t1");
  // 11 carries a network, 26 is quietest but excluded when asked; 12 remains.
  ChannelChoice c = Choice(table, -1, 20);
  c.exclude26 = true;
  EXPECT_EQ(ChooseChannel(c), 12);
  c.exclude26 = false;
  EXPECT_EQ(ChooseChannel(c), 26);
  EXPECT_TRUE(BuildChannelInfo(table.Channel(11), false).excluded);
  // All channels silent score alike: the random number picks, and the current one is kept.
  ScanResultsTable silent;
  Scan(silent, {{14, 0}, {15, 0}}, u"t1");
  EXPECT_EQ(ChooseChannel(Choice(silent, -1, 20, 1)), 15);
  EXPECT_EQ(ChooseChannel(Choice(silent, 14, 20, 1)), 14);
}

TEST(NetworkNameTest, OneReceiverAndSeveral) {
  EXPECT_EQ(BuildNetworkName(u"Chemistry 101", 1, 1), "Chemistr");
  EXPECT_EQ(BuildNetworkName(u"", 1, 1), "Voxlet");
  EXPECT_EQ(BuildNetworkName(u"R\u00E9\tx", 1, 1), "R__x");
  EXPECT_EQ(BuildNetworkName(u"B2", 2, 2), "B2    (2");
  EXPECT_EQ(BuildNetworkName(u"Chemistry", 3, 3), "Chemis(3");
}

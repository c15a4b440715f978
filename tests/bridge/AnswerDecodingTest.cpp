// The answer decoders, one table per format family. What a clicker really sends (low half
// first, the digits, the short-answer characters) round-trips through the decoders in
// tests/tools/ClickerAnswersTest; here is what the simulated clickers never send.
#include <gtest/gtest.h>

#include "bridge/AnswerDecoding.h"
#include "client/Namespaces.h"

namespace {

struct ChoiceCase {
  const char* what;
  std::vector<uint8_t> bytes;
  std::vector<Voxlet::StringBuffer> values;
  Voxlet::StringBuffer text;
};

struct TextCase {
  const char* what;
  std::vector<uint8_t> bytes;  // exactly sized: under ASan a read past them is caught
  Voxlet::StringBuffer text;
};

}  // namespace

TEST(AnswerDecoding, ChoiceCodesPickValuesLowHalfFirst) {
  const std::vector<Voxlet::StringBuffer> abc = {u"A", u"B", u"C"};
  const ChoiceCase cases[] = {
      {"zero codes and codes 11..15 are skipped", {0xB1, 0xFC, 0x02, 0, 0}, abc, u"A B"},
      {"a code past the listed values is skipped", {0x41, 0, 0, 0, 0}, abc, u"A"},
      {"all ten codes are read", {0x11, 0x11, 0x11, 0x11, 0x12}, abc, u"A A A A A A A A B A"},
      {"no values listed", {0x21, 0, 0, 0, 0}, {}, u""},
      {"values with blanks stay whole", {0x21, 0, 0, 0, 0}, {u"New York", u"Paris"}, u"New York Paris"},
  };
  for (const ChoiceCase& c : cases)
    EXPECT_EQ(Bridge::DecodeChoiceAnswer(c.bytes.data(), c.bytes.size(), c.values), c.text) << c.what;
}

TEST(AnswerDecoding, NumberCodesAreCharacters) {
  const TextCase cases[] = {
      {"code 15 is skipped", {0xF5, 0x6F, 0, 0, 0}, u"12"},
      {"ten characters at most", {0x55, 0x55, 0x55, 0x55, 0x55}, u"1111111111"},
      {"nothing", {0, 0, 0, 0, 0}, u""},
  };
  for (const TextCase& c : cases)
    EXPECT_EQ(Bridge::DecodeNumberAnswer(c.bytes.data(), c.bytes.size()), c.text) << c.what;
}

TEST(AnswerDecoding, ShortAnswerIsSixBitCodesUpToTheCountNeverPastItsBytes) {
  std::vector<uint8_t> thirty(1 + 30, 0x41);  // 010000 010100 000101 000001: codes 16, 20, 5, 1
  thirty[0] = 30;
  const TextCase cases[] = {
      {"a count of 1 ends after the second character", {1, 0x04, 0x20, 0xC4, 0}, u"01"},
      {"a count of 0 ends after the first character", {0, 0x04, 0x20, 0xC4, 0}, u"0"},
      {"a zero code ends the text", {4, 0x04, 0x00, 0xC4, 0}, u"0"},
      {"a count past the bytes stops at the last whole character", {200, 0xFF, 0xFF, 0xFF, 0xFF}, u"     "},
      {"a count alone", {5}, u""},
      {"one byte holds no whole character", {5, 0x04}, u"0"},
      {"fifteen counted bytes at most: twenty characters", thirty, u"FJ40FJ40FJ40FJ40FJ40"},
  };
  for (const TextCase& c : cases)
    EXPECT_EQ(Bridge::DecodeShortAnswer(c.bytes.data(), c.bytes.size()), c.text) << c.what;
  EXPECT_EQ(Bridge::DecodeShortAnswer(nullptr, 0), u"");
}

// (The five families the lesson's questions have are pinned by the lesson transcript.)
TEST(AnswerDecoding, FormatFamiliesByTerm) {
  using Bridge::AnswerFormat;
  const std::pair<const char16_t*, AnswerFormat> cases[] = {
      {u"questionformat#ordering", AnswerFormat::Choice},   {u"questionformat#selection", AnswerFormat::Choice},
      {u"questionformat#matching", AnswerFormat::Choice},   {u"questionformat#fraction", AnswerFormat::Number},
      {u"questionformat#fractional", AnswerFormat::Number}, {u"questionformat#essay", AnswerFormat::Other},
  };
  for (const auto& [term, format] : cases)
    EXPECT_EQ(Bridge::AnswerFormatOf(Voxlet::VocabularyTerm(term)), format) << Voxlet::UTF16to8(term);
  EXPECT_EQ(Bridge::AnswerFormatOf(u"questionformat#choice"), AnswerFormat::Other) << "a relative term";
  EXPECT_EQ(Bridge::AnswerFormatOf({}), AnswerFormat::Other);
}

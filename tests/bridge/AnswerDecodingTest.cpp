// The answer decoders, one table per format family.
#include <gtest/gtest.h>

#include "bridge/AnswerDecoding.h"
#include "client/Namespaces.h"

namespace {

using Bytes5 = std::vector<uint8_t>;

struct ChoiceCase {
  const char* what;
  Bytes5 bytes;
  std::vector<Voxlet::StringBuffer> values;
  Voxlet::StringBuffer text;
};

struct TextCase {
  const char* what;
  Bytes5 bytes;
  Voxlet::StringBuffer text;
};

}  // namespace

TEST(AnswerDecoding, ChoiceCodesPickValuesLowHalfFirst) {
  const std::vector<Voxlet::StringBuffer> abc = {u"A", u"B", u"C"};
  const ChoiceCase cases[] = {
      {"low half first, one blank between", {0x21, 0, 0, 0, 0}, abc, u"A B"},
      {"codes from later bytes", {0x00, 0x03, 0x10, 0, 0}, abc, u"C A"},
      {"zero codes and codes 11..15 are skipped", {0xB1, 0xFC, 0x02, 0, 0}, abc, u"A B"},
      {"a code past the listed values is skipped", {0x41, 0, 0, 0, 0}, abc, u"A"},
      {"code 10 is the tenth value",
       {0x0A, 0, 0, 0, 0},
       {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"ten"},
       u"ten"},
      {"all ten codes are read", {0x11, 0x11, 0x11, 0x11, 0x12}, abc, u"A A A A A A A A B A"},
      {"no values listed", {0x21, 0, 0, 0, 0}, {}, u""},
      {"values with blanks stay whole", {0x21, 0, 0, 0, 0}, {u"New York", u"Paris"}, u"New York Paris"},
  };
  for (const ChoiceCase& c : cases)
    EXPECT_EQ(Bridge::DecodeChoiceAnswer(c.bytes.data(), c.bytes.size(), c.values), c.text) << c.what;
}

TEST(AnswerDecoding, NumberCodesAreCharacters) {
  const TextCase cases[] = {
      {"1.3 with zero codes between", {0x25, 0x07, 0, 0, 0}, u"1.3"},
      {"minus, slash and blank", {0x41, 0x73, 0x0E, 0x05, 0}, u"-0/3 1"},
      {"digits 0 and 9 are codes 4 and 13", {0xD4, 0, 0, 0, 0}, u"09"},
      {"code 15 is skipped", {0xF5, 0x6F, 0, 0, 0}, u"12"},
      {"ten characters at most", {0x55, 0x55, 0x55, 0x55, 0x55}, u"1111111111"},
      {"nothing", {0, 0, 0, 0, 0}, u""},
  };
  for (const TextCase& c : cases)
    EXPECT_EQ(Bridge::DecodeNumberAnswer(c.bytes.data(), c.bytes.size()), c.text) << c.what;
}

TEST(AnswerDecoding, ShortAnswerIsSixBitCodesUpToTheCount) {
  const TextCase cases[] = {
      {"codes 1, 2, 3, 4", {3, 0x04, 0x20, 0xC4, 0}, u"0123"},
      {"a count of 1 ends after the second character", {1, 0x04, 0x20, 0xC4, 0}, u"01"},
      {"a count of 0 ends after the first character", {0, 0x04, 0x20, 0xC4, 0}, u"0"},
      // 11 'A', 36 'Z', 37 'a', 62 'z', 63 blank
      {"letters, blank", {4, 0x2E, 0x49, 0x7E, 0xFF}, u"AZaz "},
      {"a zero code ends the text", {4, 0x04, 0x00, 0xC4, 0}, u"0"},
      {"a count past the bytes stops at the last whole character", {200, 0xFF, 0xFF, 0xFF, 0xFF}, u"     "},
  };
  for (const TextCase& c : cases)
    EXPECT_EQ(Bridge::DecodeShortAnswer(c.bytes.data(), c.bytes.size()), c.text) << c.what;
}

TEST(AnswerDecoding, ShortAnswerNeverReadsPastItsBytes) {
  // Under ASan a read past these exact-size buffers is caught.
  const uint8_t one[] = {5};
  EXPECT_EQ(Bridge::DecodeShortAnswer(one, sizeof one), u"");
  EXPECT_EQ(Bridge::DecodeShortAnswer(nullptr, 0), u"");
  const uint8_t two[] = {5, 0x04};
  EXPECT_EQ(Bridge::DecodeShortAnswer(two, sizeof two), u"0");
  // A longer answer stops at fifteen counted bytes: twenty characters.
  std::vector<uint8_t> long_(1 + 30, 0x41);  // 010000 010100 000101 000001: codes 16, 20, 5, 1
  long_[0] = 30;
  EXPECT_EQ(Bridge::DecodeShortAnswer(long_.data(), long_.size()), u"FJ40FJ40FJ40FJ40FJ40");
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

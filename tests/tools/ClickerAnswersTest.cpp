// The receiver simulator's answer encodings, read back by the service's own decoders and
// pinned to the documented byte layouts. (Multi-packet answers reassembled by the service are in
// the lesson replay transcript and the bridge's clicker tests.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/AnswerDecoding.h"
#include "content/Translation.h"
#include "text/StringBuffer.h"
#include "tools/receiver-sim/ClickerAnswers.h"

namespace {

using namespace SimAnswers;

std::string Translate(const Bytes& bytes, bool math) {
  return Voxlet::UTF16to8(
      Translation().translateToUnicodeString(std::vector<unsigned char>(bytes.begin(), bytes.end()), math));
}

TEST(ToolsClickerAnswers, SinglePacketAnswersMatchTheDocumentedBytesAndTheServiceReadsThemBack) {
  EXPECT_EQ(EncodeChoice({1, 2}), (AnswerBytes{0x21, 0, 0, 0, 0}));
  EXPECT_EQ(EncodeChoice({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}), (AnswerBytes{0x9A, 0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(EncodeNumber("1.3"), (AnswerBytes{0x25, 0x07, 0, 0, 0}));
  EXPECT_EQ(EncodeNumber("-1.5"), (AnswerBytes{0x51, 0x92, 0, 0, 0}));
  EXPECT_EQ(EncodeShortAnswer("0123"), (AnswerBytes{3, 0x04, 0x20, 0xC4, 0}));

  const std::vector<Voxlet::StringBuffer> values = {u"A", u"B", u"C", u"D", u"E", u"F", u"G", u"H", u"I", u"J"};
  for (const char* typed : {"C", "a, c", "BD", "3 1 2", "10", "false"}) {
    const auto positions = ParseChoice(typed);
    ASSERT_TRUE(positions) << typed;
    const auto bytes = EncodeChoice(*positions);
    ASSERT_TRUE(bytes) << typed;
    std::string expected;
    for (const int position : *positions)
      expected += (expected.empty() ? "" : " ") + std::string(1, static_cast<char>('A' + position - 1));
    EXPECT_EQ(Voxlet::UTF16to8(Bridge::DecodeChoiceAnswer(bytes->data(), bytes->size(), values)), expected) << typed;
  }
  EXPECT_EQ(ParseChoice("false"), (std::vector<int>{2}));
  for (const char* text : {"3.5", "-12/7", "0 9"}) {
    const auto bytes = EncodeNumber(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(Voxlet::UTF16to8(Bridge::DecodeNumberAnswer(bytes->data(), bytes->size())), text);
  }
  for (const char* text : {"", "P", "Pa", "Par", "Pari", "Paris", "zZ 09", "a b", "     "}) {
    const auto bytes = EncodeShortAnswer(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(Voxlet::UTF16to8(Bridge::DecodeShortAnswer(bytes->data(), bytes->size())), text);
  }
}

TEST(ToolsClickerAnswers, WhatAClickerCannotSendIsRefused) {
  EXPECT_FALSE(EncodeChoice({}));
  EXPECT_FALSE(EncodeChoice({11}));
  EXPECT_FALSE(EncodeChoice({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1}));
  EXPECT_FALSE(EncodeNumber("1,5"));
  EXPECT_FALSE(EncodeNumber("12345678901"));
  for (const char* typed : {"K", "", "100"}) EXPECT_FALSE(ParseChoice(typed)) << typed;
  EXPECT_FALSE(EncodeShortAnswer("Lisbon"));  // six characters do not fit one packet
  EXPECT_FALSE(EncodeShortAnswer("a-b"));
  EXPECT_FALSE(EncodeText("日本"));
  EXPECT_FALSE(EncodeText("\t"));
  EXPECT_FALSE(EncodeMath("\\exp"));
  EXPECT_FALSE(EncodeMath("x\\"));
  EXPECT_FALSE(EnhancedPackets(0x0105, 1, 2, Bytes(256, 'a'), 1));
}

TEST(ToolsClickerAnswers, TextAndMathRoundTripThroughTheServiceTranslation) {
  for (const char* text : {"Hello, world!", "±÷°∞∈→⇆∠⟂∥∆≠≈≅≤≥", "×αβγδθλμπρστφΩΦ∉", "∅£€ÀÍÎÏÑÒÓÔÕÖØÙÚÛÜŸ…Œ",
                           "àïñòóôõöøùúûüÿßœ¿¡„‚»«›‹", "~{}[]^_\\"}) {
    const auto bytes = EncodeText(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(Translate(*bytes, false), text);
  }
  EXPECT_EQ(EncodeMath("\\sqrt[2]"), (Bytes{204, '[', '2', ']'}));
  EXPECT_EQ(EncodeMath("\\arcsin x"), (Bytes{210, ' ', 'x'}));
  EXPECT_EQ(EncodeMath("\\sinh\\sin\\log_2\\ln"), (Bytes{216, 223, 217, '2', 226}));
  EXPECT_EQ(EncodeMath("a\\_b\\{"), (Bytes{'a', '_', 'b', '{'}));
  for (const auto& [typed, read] : std::vector<std::pair<std::string, std::string>>{
           {"\\sqrt[2]", "\\[\\sqrt[2]\\]"}, {"\\frac{1}{2}", "\\[\\frac{1}{2}\\]"}, {"2πr", "\\[2\\pi r\\]"}})
    EXPECT_EQ(Translate(*EncodeMath(typed), true), read);
  EXPECT_EQ(*EnhancedPackets(0x0105, 1, 2, {}, 16), (std::vector<Bytes>{{0x01, 0x05, 0x25, 1, 1, 0, 2, 0, 0}}));
}

}  // namespace

// The receiver simulator's answer encodings, read back by the service's own decoders where
// the project has them (text and math translation, multi-packet reassembly, student ids,
// packet texts) and checked against the documented byte layouts where it has not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/StringBuffer.h"
#include "content/PacketContainer.h"
#include "content/Translation.h"
#include "tools/receiver-sim/ClickerAnswers.h"
#include "tools/receiver-sim/QuestionBatch.h"

namespace {

using namespace SimAnswers;

std::string Translate(const Bytes& bytes, bool math) {
  return Voxlet::UTF16to8(
      Translation().translateToUnicodeString(std::vector<unsigned char>(bytes.begin(), bytes.end()), math));
}

// The service's reading of a short answer: 6-bit codes after a count of packed bytes, the
// counter advanced by the second to fourth character of each three-byte group, never past
// byte 4.
std::string ReadShortAnswer(const AnswerBytes& b) {
  static const std::string kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz ";
  std::string text;
  size_t counter = 0;
  for (size_t character = 0;; ++character) {
    if (counter >= 15) break;
    const size_t group = character / 4, slot = character % 4, d = 1 + group * 3;
    auto byte = [&](size_t k) -> int { return d + k <= 4 ? b[d + k] : -1; };
    int code;
    if (slot == 0) {
      if (byte(0) < 0) break;
      code = byte(0) >> 2;
    } else if (slot == 1) {
      if (byte(1) < 0) break;
      code = ((byte(0) & 3) << 4) | (byte(1) >> 4);
    } else if (slot == 2) {
      if (byte(2) < 0) break;
      code = ((byte(1) & 15) << 2) | (byte(2) >> 6);
    } else {
      code = byte(2) & 63;
    }
    if (slot != 0) ++counter;
    if (code == 0) break;
    text += kAlphabet[static_cast<size_t>(code - 1)];
    if (counter >= b[0]) break;
  }
  return text;
}

TEST(ToolsClickerAnswers, ChoiceAndNumberCodesFillNibblesLowHalfFirst) {
  EXPECT_EQ(EncodeChoice({1, 2}), (AnswerBytes{0x21, 0, 0, 0, 0}));
  EXPECT_EQ(EncodeNumber("1.3"), (AnswerBytes{0x25, 0x07, 0, 0, 0}));
  EXPECT_EQ(EncodeNumber("-1.5"), (AnswerBytes{0x51, 0x92, 0, 0, 0}));
  EXPECT_EQ(EncodeChoice({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}), (AnswerBytes{0x9A, 0x78, 0x56, 0x34, 0x12}));
  EXPECT_FALSE(EncodeChoice({}));
  EXPECT_FALSE(EncodeChoice({11}));
  EXPECT_FALSE(EncodeChoice({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 1}));
  EXPECT_FALSE(EncodeNumber("1,5"));
  EXPECT_FALSE(EncodeNumber("12345678901"));
}

TEST(ToolsClickerAnswers, TypedChoicesBecomePositions) {
  EXPECT_EQ(ParseChoice("C"), (std::vector<int>{3}));
  EXPECT_EQ(ParseChoice("a, c"), (std::vector<int>{1, 3}));
  EXPECT_EQ(ParseChoice("BD"), (std::vector<int>{2, 4}));
  EXPECT_EQ(ParseChoice("3 1 2"), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(ParseChoice("10"), (std::vector<int>{10}));
  EXPECT_EQ(ParseChoice("false"), (std::vector<int>{2}));
  EXPECT_FALSE(ParseChoice("K"));
  EXPECT_FALSE(ParseChoice(""));
  EXPECT_FALSE(ParseChoice("100"));
}

TEST(ToolsClickerAnswers, ShortAnswersRoundTripThroughTheSixBitCode) {
  const auto documented = EncodeShortAnswer("0123");
  ASSERT_TRUE(documented);
  EXPECT_EQ(*documented, (AnswerBytes{3, 0x04, 0x20, 0xC4, 0}));
  for (const char* text : {"", "P", "Pa", "Par", "Pari", "Paris", "zZ 09", "a b", "     "}) {
    const auto bytes = EncodeShortAnswer(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(ReadShortAnswer(*bytes), text);
  }
  EXPECT_FALSE(EncodeShortAnswer("Lisbon"));  // six characters do not fit one packet
  EXPECT_FALSE(EncodeShortAnswer("a-b"));
}

TEST(ToolsClickerAnswers, TextRoundTripsThroughTheServiceTranslation) {
  for (const char* text : {"Hello, world!", "±÷°∞∈→⇆∠⟂∥∆≠≈≅≤≥", "×αβγδθλμπρστφΩΦ∉", "∅£€ÀÍÎÏÑÒÓÔÕÖØÙÚÛÜŸ…Œ",
                           "àïñòóôõöøùúûüÿßœ¿¡„‚»«›‹", "~{}[]^_\\"}) {
    const auto bytes = EncodeText(text);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(Translate(*bytes, false), text);
  }
  EXPECT_FALSE(EncodeText("日本"));  // no clicker code
  EXPECT_FALSE(EncodeText("\t"));
}

TEST(ToolsClickerAnswers, MathKeysBecomeStructureCodesTheServiceRewrites) {
  EXPECT_EQ(EncodeMath("\\sqrt[2]"), (Bytes{204, '[', '2', ']'}));
  EXPECT_EQ(Translate(*EncodeMath("\\sqrt[2]"), true), "\\[\\sqrt[2]\\]");
  EXPECT_EQ(Translate(*EncodeMath("x^{2}+1"), true), "\\[x^{2}+1\\]");
  EXPECT_EQ(Translate(*EncodeMath("\\frac{1}{2}"), true), "\\[\\frac{1}{2}\\]");
  EXPECT_EQ(Translate(*EncodeMath("2πr"), true), "\\[2\\pi r\\]");
  EXPECT_EQ(EncodeMath("\\arcsin x"), (Bytes{210, ' ', 'x'}));
  EXPECT_EQ(EncodeMath("\\sinh\\sin\\log_2\\ln"), (Bytes{216, 223, 217, '2', 226}));
  EXPECT_EQ(EncodeMath("a\\_b\\{"), (Bytes{'a', '_', 'b', '{'}));
  EXPECT_FALSE(EncodeMath("\\exp"));
  EXPECT_FALSE(EncodeMath("x\\"));
}

TEST(ToolsClickerAnswers, EnhancedPacketsReassembleInTheServiceContainer) {
  Bytes data;
  for (int i = 0; i < 37; ++i) data.push_back(static_cast<uint8_t>(i + 1));
  const auto packets = EnhancedPackets(0x0105, 9, 4, data, 16);
  ASSERT_TRUE(packets);
  ASSERT_EQ(packets->size(), 3u);
  PacketContainer container((*packets)[0][4]);
  // Out of order, as the radio may deliver them.
  for (size_t k : {2u, 0u, 1u}) {
    const Bytes& p = (*packets)[k];
    EXPECT_EQ(p[0], 0x01);
    EXPECT_EQ(p[1], 0x05);
    EXPECT_EQ(p[2], 0x25);
    EXPECT_EQ(p[3], 9);  // sequence
    const size_t header = p[5] == 0 ? 9 : 6;
    if (p[5] == 0) container.setQuestionNumber(p[6]);
    container.insertPart(p[5], p.data() + header, static_cast<int>(p.size() - header));
  }
  ASSERT_TRUE(container.containsAllParts());
  EXPECT_EQ(container.questionNumber(), 4u);
  const std::vector<unsigned char>& joined = container.combineAllPacketParts();
  EXPECT_EQ(Bytes(joined.begin(), joined.end()), data);

  const auto empty = EnhancedPackets(0x0105, 1, 2, {}, 16);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, (std::vector<Bytes>{{0x01, 0x05, 0x25, 1, 1, 0, 2, 0, 0}}));
  EXPECT_FALSE(EnhancedPackets(0x0105, 1, 2, Bytes(256, 'a'), 1));
}

TEST(ToolsClickerAnswers, LaterBatchesOfOneRunAddUpAndAnotherRunStartsOver) {
  SimContent::QuestionSet set;
  // Batch header: sequence 3 feedback 1 = 0x0D; the single question 7 (offset 6, twice 12).
  SimContent::AddBatch(set, *SimContent::DecodeQuestionBatch({0x0D, 12, 1, 1, 0x12, 3, 0, 0, 0, 0}));
  ASSERT_EQ(set.questions.size(), 1u);
  EXPECT_EQ(set.questions[0].number, 7);
  EXPECT_EQ(set.questions[0].choices, 1);
  const uint64_t first = set.id;
  // A 41-question run in two batches: 40, then 1 with one remaining.
  std::vector<uint8_t> big = {0x10, 0, 41, 41};
  for (int k = 0; k < 40; ++k) big.insert(big.end(), {0x02, 1, 0, 0, 0, 0});
  SimContent::AddBatch(set, *SimContent::DecodeQuestionBatch(big));
  SimContent::AddBatch(set, *SimContent::DecodeQuestionBatch({0x10, 0, 41, 1, 0x0C, 0, 0, 0, 0, 0}));
  EXPECT_NE(set.id, first);
  ASSERT_EQ(set.questions.size(), 41u);
  EXPECT_EQ(set.questions.back().number, 41);
  EXPECT_EQ(set.questions.back().type, 12);
  EXPECT_FALSE(SimContent::DecodeQuestionBatch({0x10, 0, 1}));
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/Translation.h"
#include "text/StringBuffer.h"

namespace {

using Bytes = std::vector<unsigned char>;

class TranslationTest : public ::testing::Test {
 protected:
  std::string Text(const Bytes& bytes) { return Voxlet::UTF16to8(translation.translateToUnicodeString(bytes, false)); }
  std::string Math(const Bytes& bytes) { return Voxlet::UTF16to8(translation.translateToUnicodeString(bytes, true)); }
  std::string Rewrite(const std::string& text) {
    return Voxlet::UTF16to8(translation.translateMathAnswer(Voxlet::UTF8to16(text)));
  }

  Translation translation;
};

// Printable ASCII stands for itself; the codes around it are the clicker's own characters (the
// table is the source's), and codes without a character give nothing.
TEST_F(TranslationTest, TextModeMapsTheClickerCharacterCode) {
  Bytes ascii;
  std::string expected;
  for (int code = 32; code <= 126; ++code) {
    ascii.push_back(static_cast<unsigned char>(code));
    expected += static_cast<char>(code);
  }
  EXPECT_EQ(Text(ascii), expected);
  EXPECT_EQ(Text({65, 198, 199, 227, 228, 255, 66}), "AB");
  EXPECT_EQ(Text({}), "");
}

// Math mode (wrapping, roots and fractions are tools/ClickerAnswersTest's) keeps structure texts
// together, escapes markup characters, drops the at sign and accented letters (not the empty-set
// shapes), and turns letters, symbols, operators and function names (each once) into commands.
TEST_F(TranslationTest, MathMode) {
  const std::pair<Bytes, const char*> codes[] = {
      {{65, 198, 199, 227, 255, 66}, "\\[AB\\]"},
      {{120, 207, 50, 208, 105}, "\\[x^2_i\\]"},
      {{'a', '\\', 'b'}, "\\[a\\backslash b\\]"},
      {{'x', '^', '2'}, "\\[x\\hat { } 2\\]"},
      {{'x', '_', '2'}, "\\[x\\_ 2\\]"},
      {{'{', 'x', '}'}, "\\[\\{x\\}\\]"},
      {{'1', 152, '2', 182}, "\\[1Ø2ø\\]"},
      {{194, 195, 196, 197}, "\\[\\gg \\ll \\rangle \\langle \\]"},
      {{0, 1, 16}, "\\[\\pm \\div \\times \\]"},
      {{210, 'x', 223, 'y'}, "\\[\\arcsin x\\sin y\\]"},
      {{'a', 218, 'b'}, "\\[a\\\\\\\\ b\\]"},  // three backslashes get one more and a blank
      {{}, ""},
  };
  for (const auto& [bytes, expected] : codes) EXPECT_EQ(Math(bytes), expected);
  Bytes dropped = {'@', 198, 199};
  for (int code = 128; code <= 193; ++code)
    if (code != 152 && code != 182) dropped.push_back(static_cast<unsigned char>(code));
  EXPECT_EQ(Math(dropped), "");

  const std::pair<const char*, const char*> texts[] = {
      {"a\u03B5b", "\\[ab\\]"},
      {"\u0394\u2206", "\\[\\Delta \\Delta \\]"},
      {"\u03B5", "\\[\\]"},  // not empty on entry, so still wrapped
      {"#$%'`~", "\\[\\# \\$ \\% \\grave {\\ } \\grave {\\ } \\sim \\]"},
      {"a&b÷c×d≠e≤f≥g", "\\[a\\And b\\div c\\times d\\ne e\\le f\\ge g\\]"},
      {"arcsinx+sinx", "\\[\\arcsin x+\\sin x\\]"},
      {"sinhx", "\\[\\sinh x\\]"},
      {"coshcos", "\\[\\cosh \\cos \\]"},
      {"arccosarctan", "\\[\\arccos \\arctan \\]"},
      {"cothcschtanh", "\\[\\coth \\csch \\tanh \\]"},
      {"cotcscsectan", "\\[\\cot \\csc \\sec \\tan \\]"},
      {"log_2x", "\\[\\log_ 2x\\]"},
      {"logx+lnx", "\\[\\log x+\\ln x\\]"},
      {"", ""},
  };
  for (const auto& [text, expected] : texts) EXPECT_EQ(Rewrite(text), expected) << text;
}

TEST_F(TranslationTest, LongAnswersTranslateWhole) {
  std::string expected = "\\[";
  for (int i = 0; i < 10000; ++i) expected += "\\sin ";
  EXPECT_EQ(Math(Bytes(10000, 223)), expected + "\\]");
  Bytes every(10000);
  for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<unsigned char>(i);
  EXPECT_FALSE(Text(every).empty());
  EXPECT_FALSE(Math(every).empty());
}

}  // namespace

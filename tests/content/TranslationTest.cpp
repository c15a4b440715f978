#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/StringBuffer.h"
#include "content/Translation.h"

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

// Printable ASCII stands for itself; the codes below and above it are characters of the
// clicker's own (one row of them here: the table itself is the source's).
TEST_F(TranslationTest, TextModeMapsTheClickerCharacterCode) {
  Bytes ascii;
  std::string expected;
  for (int code = 32; code <= 126; ++code) {
    ascii.push_back(static_cast<unsigned char>(code));
    expected += static_cast<char>(code);
  }
  EXPECT_EQ(Text(ascii), expected);
  EXPECT_EQ(Text({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), "±÷°∞∈→⇆∠⟂∥∆≠≈≅≤≥");
  EXPECT_EQ(Text({127, 128, 129, 130, 143, 197}), "∅£€ÀÍ‹");
}

TEST_F(TranslationTest, CodesWithoutACharacterGiveNothing) {
  EXPECT_EQ(Text({65, 198, 199, 227, 228, 255, 66}), "AB");
  EXPECT_EQ(Math({65, 198, 199, 227, 255, 66}), "\\[AB\\]");
  EXPECT_EQ(Text({}), "");
}

TEST_F(TranslationTest, MathModeWrapsAndKeepsStructureTextsTogether) {
  EXPECT_EQ(Math({72, 105}), "\\[Hi\\]");
  EXPECT_EQ(Math({204, 91, 50, 93}), "\\[\\sqrt[2]\\]");
  EXPECT_EQ(Math({206, 200, 49, 201, 200, 50, 201}), "\\[\\frac{1}{2}\\]");
  EXPECT_EQ(Math({120, 207, 50, 208, 105}), "\\[x^2_i\\]");
}

TEST_F(TranslationTest, MathModeEscapesMarkupCharacters) {
  EXPECT_EQ(Math({'a', '\\', 'b'}), "\\[a\\backslash b\\]");
  EXPECT_EQ(Math({'x', '^', '2'}), "\\[x\\hat { } 2\\]");
  EXPECT_EQ(Math({'x', '_', '2'}), "\\[x\\_ 2\\]");
  EXPECT_EQ(Math({'{', 'x', '}'}), "\\[\\{x\\}\\]");
}

TEST_F(TranslationTest, MathModeDropsTheAtSignAndAccentedLettersButNotTheEmptySetShapes) {
  Bytes dropped = {'@', 198, 199};
  for (int code = 128; code <= 193; ++code) {
    if (code != 152 && code != 182) dropped.push_back(static_cast<unsigned char>(code));
  }
  EXPECT_EQ(Math(dropped), "");
  EXPECT_EQ(Math({'1', 152, '2', 182}), "\\[1Ø2ø\\]");
  EXPECT_EQ(Math({194, 195, 196, 197}), "\\[\\gg \\ll \\rangle \\langle \\]");
}

// Greek letters, symbols and operators become commands or vanish (the dictionaries themselves
// are the source's: a few entries of each here).
TEST_F(TranslationTest, LettersSymbolsAndOperatorsBecomeCommandsOrVanish) {
  EXPECT_EQ(Math({17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30}),
            "\\[\\alpha \\beta \\gamma \\delta \\theta \\lambda \\mu \\pi \\rho \\sigma \\tau \\varphi "
            "\\Omega \\Phi \\]");
  EXPECT_EQ(Rewrite("a\u03B5b"), "\\[ab\\]");
  EXPECT_EQ(Rewrite("\u0394\u2206"), "\\[\\Delta \\Delta \\]");
  // A text of letters that all vanish is not empty on entry, so it is still wrapped.
  EXPECT_EQ(Rewrite("\u03B5"), "\\[\\]");
  EXPECT_EQ(Rewrite("#$%'`~"), "\\[\\# \\$ \\% \\grave {\\ } \\grave {\\ } \\sim \\]");
  EXPECT_EQ(Rewrite("a&b÷c×d≠e≤f≥g"), "\\[a\\And b\\div c\\times d\\ne e\\le f\\ge g\\]");
  // Through the character code: plus-minus, divide and times from codes 0, 1 and 16.
  EXPECT_EQ(Math({0, 1, 16}), "\\[\\pm \\div \\times \\]");
}

TEST_F(TranslationTest, FunctionNamesAreRewrittenOnceEach) {
  EXPECT_EQ(Rewrite("sin"), "\\[\\sin \\]");
  EXPECT_EQ(Rewrite("arcsin"), "\\[\\arcsin \\]");
  EXPECT_EQ(Rewrite("arcsinx+sinx"), "\\[\\arcsin x+\\sin x\\]");
  EXPECT_EQ(Rewrite("sinhx"), "\\[\\sinh x\\]");
  EXPECT_EQ(Rewrite("coshcos"), "\\[\\cosh \\cos \\]");
  EXPECT_EQ(Rewrite("arccosarctan"), "\\[\\arccos \\arctan \\]");
  EXPECT_EQ(Rewrite("cothcschtanh"), "\\[\\coth \\csch \\tanh \\]");
  EXPECT_EQ(Rewrite("cotcscsectan"), "\\[\\cot \\csc \\sec \\tan \\]");
  EXPECT_EQ(Rewrite("log_2x"), "\\[\\log_ 2x\\]");
  EXPECT_EQ(Rewrite("logx+lnx"), "\\[\\log x+\\ln x\\]");
  EXPECT_EQ(Math({210, 'x', 223, 'y'}), "\\[\\arcsin x\\sin y\\]");
}

TEST_F(TranslationTest, ThreeBackslashesGetOneMoreAndASpace) { EXPECT_EQ(Math({'a', 218, 'b'}), "\\[a\\\\\\\\ b\\]"); }

TEST_F(TranslationTest, EmptyMathTextIsNotWrapped) {
  EXPECT_EQ(Rewrite(""), "");
  EXPECT_EQ(Math({}), "");
}

TEST_F(TranslationTest, LongAnswersTranslateWhole) {
  const Bytes sines(10000, 223);
  std::string expected = "\\[";
  for (int i = 0; i < 10000; ++i) expected += "\\sin ";
  expected += "\\]";
  EXPECT_EQ(Math(sines), expected);

  const Bytes arcs(10000, 210);
  const std::string arcText = Math(arcs);
  EXPECT_EQ(arcText.size(), 2 + 10000 * 8 + 2);
  EXPECT_EQ(arcText.substr(0, 18), "\\[\\arcsin \\arcsin ");

  Bytes every(10000);
  for (size_t i = 0; i < every.size(); ++i) every[i] = static_cast<unsigned char>(i);
  EXPECT_FALSE(Text(every).empty());
  EXPECT_FALSE(Math(every).empty());
}

TEST_F(TranslationTest, CopiesTranslateAlike) {
  const Translation copy = translation;
  Translation assigned;
  assigned = copy;
  const Bytes bytes = {210, 17, '#', 14};
  EXPECT_EQ(Voxlet::UTF16to8(assigned.translateToUnicodeString(bytes, true)), Math(bytes));
  EXPECT_EQ(Math(bytes), "\\[\\arcsin \\alpha \\# \\le \\]");
}

}  // namespace

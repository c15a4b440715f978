#pragma once
#include <map>
#include <string_view>
#include <vector>

#include "text/StringBuffer.h"

// Turns the bytes of a clicker's free-form answer into text; for math questions it also
// rewrites the text into backslash math markup wrapped in "\[" and "\]".
// A value type: copies carry their dictionaries.
class Translation {
 public:
  Translation();

  // The answer bytes as text. Codes without a character (198 and 199 outside math, 227 up)
  // give nothing. With `math` the text is then passed through translateMathAnswer.
  Voxlet::StringBuffer translateToUnicodeString(const std::vector<unsigned char>& bytes, bool math) const;

  // Rewrites Greek letters, function names, symbols and operators into math markup and wraps
  // the result in "\[" and "\]"; an empty text stays empty.
  Voxlet::StringBuffer translateMathAnswer(std::u16string_view text) const;

 private:
  using Dictionary = std::map<char16_t, Voxlet::StringBuffer>;

  void initDictionaries();
  static void ReplaceKeys(Voxlet::StringBuffer& text, const Dictionary& dictionary);
  static void RewriteFunctionNames(Voxlet::StringBuffer& text);

  Dictionary m_letters;
  Dictionary m_symbols;
  Dictionary m_operators;
};

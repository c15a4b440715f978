#include "content/Translation.h"

#include <string>
#include <utility>

#include "client/Format.h"
#include "content/ClickerCode.h"
#include "content/TextReplace.h"

namespace {

// Function names 1 to 10 (the arc, hyperbolic and "log_" forms and the three backslashes)
// are parked behind placeholders so that the shorter names after them do not rewrite them.
// A placeholder is a fresh identifier of hexadecimal digits: no function name can be spelled
// with the letters a to f.
constexpr size_t kParkedFunctionNames = 10;

// Appends the text of one byte in math mode: characters that mean markup are escaped, and
// the at sign, the accented letters (but for the two empty-set shapes, 152 and 182) and the
// codes without a character are dropped.
void AppendMathByte(Voxlet::StringBuffer& text, unsigned char code) {
  switch (code) {
    case '\\':
      text += u"\\backslash ";
      return;
    case '^':
      text += u"\\hat { } ";
      return;
    case '_':
      text += u"\\_ ";
      return;
    case '{':
    case '}':
      text += u'\\';
      text += static_cast<char16_t>(code);
      return;
    case '@':
    case 198:
    case 199:
      return;
    default:
      break;
  }
  if (code >= 128 && code <= 193 && code != 152 && code != 182) return;
  if (const char16_t character = ClickerCode::Character(code); character != u'\0') text += character;
}

}  // namespace

Translation::Translation() { initDictionaries(); }

void Translation::initDictionaries() {
  m_letters = {
      {u'\u03B1', u"\\alpha "}, {u'\u03B2', u"\\beta "},   {u'\u03B3', u"\\gamma "},  {u'\u03B4', u"\\delta "},
      {u'\u03B5', u""},         {u'\u03B6', u""},          {u'\u03B7', u""},          {u'\u03B8', u"\\theta "},
      {u'\u03B9', u""},         {u'\u03BA', u""},          {u'\u03BB', u"\\lambda "}, {u'\u03BC', u"\\mu "},
      {u'\u03BD', u""},         {u'\u03BE', u""},          {u'\u03BF', u""},          {u'\u03C0', u"\\pi "},
      {u'\u03C1', u"\\rho "},   {u'\u03C2', u""},          {u'\u03C3', u"\\sigma "},  {u'\u03C4', u"\\tau "},
      {u'\u03C5', u""},         {u'\u03C6', u"\\varphi "}, {u'\u03C7', u""},          {u'\u03C8', u""},
      {u'\u03C9', u""},         {u'\u0394', u"\\Delta "},  {u'\u03A6', u"\\Phi "},    {u'\u03E7', u""},
      {u'\u03A9', u"\\Omega "}, {u'\u2206', u"\\Delta "},
  };
  m_symbols = {
      {u'#', u"\\# "},
      {u'$', u"\\$ "},
      {u'%', u"\\% "},
      {u'\'', u"\\grave {\\ } "},
      {u'`', u"\\grave {\\ } "},
      {u'~', u"\\sim "},
      {u'\u00A3', u"\\pounds "},
      {u'\u00B0', u"\\circ "},
      {u'\u00B1', u"\\pm "},
      {u'\u2248', u"\\approx "},
      {u'\u221E', u"\\infty "},
      {u'\u00AB', u"\\ll "},
      {u'\u00BB', u"\\gg "},
      {u'\u2039', u"\\langle "},
      {u'\u203A', u"\\rangle "},
      {u'\u2208', u"\\in "},
      {u'\u2209', u"\\notin "},
      {u'\u2192', u"\\to "},
      {u'\u21C6', u"\\rightleftarrows "},
      {u'\u2220', u"\\angle "},
      {u'\u27C2', u"\\bot "},
      {u'\u2225', u"\\parallel "},
      {u'\u2245', u"\\cong "},
      {u'\u2205', u"\\varnothing "},
  };
  m_operators = {
      {u'&', u"\\And "},     {u'\u00F7', u"\\div "}, {u'\u00D7', u"\\times "},
      {u'\u2260', u"\\ne "}, {u'\u2264', u"\\le "},  {u'\u2265', u"\\ge "},
  };
}

Voxlet::StringBuffer Translation::translateToUnicodeString(const std::vector<unsigned char>& bytes, bool math) const {
  Voxlet::StringBuffer text;
  text.reserve(bytes.size());
  for (const unsigned char code : bytes) {
    const std::u16string_view structure = ClickerCode::StructureText(code);
    if (!structure.empty()) {
      text += structure;
    } else if (math) {
      AppendMathByte(text, code);
    } else if (const char16_t character = ClickerCode::Character(code); character != u'\0') {
      text += character;
    }
  }
  return math ? translateMathAnswer(text) : text;
}

Voxlet::StringBuffer Translation::translateMathAnswer(std::u16string_view answer) const {
  if (answer.empty()) return Voxlet::StringBuffer();
  Voxlet::StringBuffer text(answer);
  ReplaceKeys(text, m_letters);
  RewriteFunctionNames(text);
  ReplaceKeys(text, m_symbols);
  ReplaceKeys(text, m_operators);
  return u"\\[" + text + u"\\]";
}

// Each key is one code unit and no replacement text holds another key of its dictionary, so
// one pass over the text gives what replacing key after key in ascending order gives.
void Translation::ReplaceKeys(Voxlet::StringBuffer& text, const Dictionary& dictionary) {
  Voxlet::StringBuffer result;
  result.reserve(text.size());
  for (const char16_t character : text) {
    const auto entry = dictionary.find(character);
    if (entry == dictionary.end()) {
      result += character;
    } else {
      result += entry->second;
    }
  }
  text.swap(result);
}

void Translation::RewriteFunctionNames(Voxlet::StringBuffer& text) {
  std::vector<std::pair<Voxlet::StringBuffer, std::u16string_view>> parked;  // placeholder, name
  for (size_t i = 0; i < kParkedFunctionNames; ++i) {
    const std::u16string_view name = ClickerCode::FunctionName(i);
    if (text.find(name) == Voxlet::StringBuffer::npos) continue;
    Voxlet::StringBuffer placeholder = Voxlet::NewId();
    Content::ReplaceAll(text, name, u"\\" + placeholder + u" ");
    parked.emplace_back(std::move(placeholder), name);
  }
  for (size_t i = kParkedFunctionNames; i < ClickerCode::kFunctionNameCount; ++i) {
    const std::u16string_view name = ClickerCode::FunctionName(i);
    Content::ReplaceAll(text, name, u"\\" + Voxlet::StringBuffer(name) + u" ");
  }
  for (const auto& [placeholder, name] : parked) Content::ReplaceAll(text, placeholder, name);
}

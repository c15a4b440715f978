#include "ClickerAnswers.h"

#include <algorithm>
#include <cctype>

namespace SimAnswers {

namespace {

// The characters of codes 0 to 31 and 127 to 197; 32 to 126 are ASCII.
constexpr char16_t kLow[32] = {0x00B1, 0x00F7, 0x00B0, 0x221E, 0x2208, 0x2192, 0x21C6, 0x2220, 0x27C2, 0x2225, 0x2206,
                               0x2260, 0x2248, 0x2245, 0x2264, 0x2265, 0x00D7, 0x03B1, 0x03B2, 0x03B3, 0x03B4, 0x03B8,
                               0x03BB, 0x03BC, 0x03C0, 0x03C1, 0x03C3, 0x03C4, 0x03C6, 0x03A9, 0x03A6, 0x2209};
constexpr char16_t kHigh[71] = {0x2205,                                                          // 127
                                0x00A3, 0x20AC, 0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5,  // 128..
                                0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,  // ..143
                                0x00CE, 0x00CF, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6,  // 144..
                                0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x0178, 0x2026, 0x0152,  // ..159
                                0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,  // 160..
                                0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,  // ..175
                                0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F8, 0x00F9,  // 176..
                                0x00FA, 0x00FB, 0x00FC, 0x00FF, 0x00DF, 0x0153, 0x00BF, 0x00A1,  // ..191
                                0x201E, 0x201A, 0x00BB, 0x00AB, 0x203A, 0x2039};                 // 192..197

std::optional<uint8_t> CharacterCode(char16_t c) {
  if (c >= 32 && c <= 126) return static_cast<uint8_t>(c);
  for (size_t i = 0; i < std::size(kLow); ++i)
    if (kLow[i] == c) return static_cast<uint8_t>(i);
  for (size_t i = 0; i < std::size(kHigh); ++i)
    if (kHigh[i] == c) return static_cast<uint8_t>(127 + i);
  return std::nullopt;
}

struct StructureKey {
  const char* name;
  uint8_t code;
};
// Longer names first where one is the start of another (sinh before sin, log_ before log).
constexpr StructureKey kStructureKeys[] = {
    {"sqrt", 204}, {"frac", 206}, {"arccos", 209}, {"arcsin", 210}, {"arctan", 211}, {"cosh", 212}, {"coth", 213},
    {"csch", 214}, {"tanh", 215}, {"sinh", 216},   {"log_", 217},   {"cos", 219},    {"cot", 220},  {"csc", 221},
    {"sec", 222},  {"sin", 223},  {"tan", 224},    {"log", 225},    {"ln", 226}};

std::optional<AnswerBytes> PackNibbles(const std::vector<int>& codes) {
  if (codes.empty() || codes.size() > 10) return std::nullopt;
  AnswerBytes bytes{};
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] < 1 || codes[i] > 15) return std::nullopt;
    bytes[i / 2] |= static_cast<uint8_t>(codes[i] << ((i % 2) * 4));
  }
  return bytes;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

Kind KindOfType(uint8_t typeCode) {
  switch (typeCode) {
    case 5:
    case 6:
      return Kind::Number;
    case 11:
      return Kind::ShortAnswer;
    case 12:
      return Kind::Text;
    case 13:
      return Kind::Math;
    default:
      return Kind::Choice;
  }
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Choice:
      return "choice";
    case Kind::Number:
      return "number";
    case Kind::ShortAnswer:
      return "short";
    case Kind::Text:
      return "text";
    case Kind::Math:
      return "math";
  }
  return "choice";
}

std::optional<Kind> KindFromName(std::string_view name) {
  for (Kind k : {Kind::Choice, Kind::Number, Kind::ShortAnswer, Kind::Text, Kind::Math})
    if (name == KindName(k)) return k;
  return std::nullopt;
}

std::optional<AnswerBytes> EncodeChoice(const std::vector<int>& positions) {
  for (int p : positions)
    if (p < 1 || p > 10) return std::nullopt;
  return PackNibbles(positions);
}

std::optional<std::vector<int>> ParseChoice(std::string_view text) {
  std::vector<int> positions;
  std::string word;
  auto take = [&]() -> bool {
    if (word.empty()) return true;
    const std::string w = Lower(word);
    word.clear();
    if (w == "true" || w == "yes") return positions.push_back(1), true;
    if (w == "false" || w == "no") return positions.push_back(2), true;
    if (std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      if (w.size() > 2) return false;
      positions.push_back(std::stoi(w));
      return true;
    }
    for (char c : w) {
      if (c < 'a' || c > 'j') return false;
      positions.push_back(c - 'a' + 1);
    }
    return true;
  };
  for (char c : text) {
    if (c == ' ' || c == ',' || c == '\t') {
      if (!take()) return std::nullopt;
    } else {
      word += c;
    }
  }
  if (!take() || positions.empty()) return std::nullopt;
  return positions;
}

std::optional<AnswerBytes> EncodeNumber(std::string_view text) {
  static constexpr std::string_view kTable = "-./0123456789 ";
  std::vector<int> codes;
  for (char c : text) {
    const size_t at = kTable.find(c);
    if (at == std::string_view::npos) return std::nullopt;
    codes.push_back(static_cast<int>(at) + 1);
  }
  return PackNibbles(codes);
}

std::optional<AnswerBytes> EncodeShortAnswer(std::string_view text) {
  if (text.size() > kMaxShortAnswer) return std::nullopt;
  uint64_t bits = 0;
  size_t bitCount = 0;
  for (char c : text) {
    int code;
    if (c >= '0' && c <= '9')
      code = c - '0' + 1;
    else if (c >= 'A' && c <= 'Z')
      code = c - 'A' + 11;
    else if (c >= 'a' && c <= 'z')
      code = c - 'a' + 37;
    else if (c == ' ')
      code = 63;
    else
      return std::nullopt;
    bits = (bits << 6) | static_cast<uint64_t>(code);
    bitCount += 6;
  }
  const size_t dataBytes = (bitCount + 7) / 8;
  bits <<= dataBytes * 8 - bitCount;  // left-align the codes in the data bytes
  AnswerBytes bytes{};
  bytes[0] = static_cast<uint8_t>(dataBytes);
  for (size_t i = 0; i < dataBytes; ++i) bytes[1 + i] = static_cast<uint8_t>(bits >> ((dataBytes - 1 - i) * 8));
  return bytes;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = 0xFFFD;
    size_t length = 1;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4;
    }
    if (length > 1) {
      if (i + length > utf8.size()) {
        length = utf8.size() - i;
      } else {
        cp = b & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
          const auto next = static_cast<unsigned char>(utf8[i + k]);
          if ((next & 0xC0) != 0x80) {
            cp = 0xFFFD;
            length = k;
            break;
          }
          cp = (cp << 6) | (next & 0x3F);
        }
      }
    }
    out.push_back(cp > 0xFFFF ? char16_t{0xFFFD} : static_cast<char16_t>(cp));
    i += length;
  }
  return out;
}

std::optional<Bytes> EncodeText(std::string_view utf8) {
  Bytes out;
  for (char16_t c : Utf8ToUtf16(utf8)) {
    const std::optional<uint8_t> code = CharacterCode(c);
    if (!code) return std::nullopt;
    out.push_back(*code);
  }
  return out;
}

std::optional<Bytes> EncodeMath(std::string_view utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  Bytes out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    switch (c) {
      case u'{':
        out.push_back(200);
        continue;
      case u'}':
        out.push_back(201);
        continue;
      case u'^':
        out.push_back(207);
        continue;
      case u'_':
        out.push_back(208);
        continue;
      default:
        break;
    }
    if (c != u'\\') {
      const std::optional<uint8_t> code = CharacterCode(c);
      if (!code) return std::nullopt;
      out.push_back(*code);
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const char16_t next = text[i + 1];
    if (next == u'\\' || next == u'{' || next == u'}' || next == u'^' || next == u'_') {
      out.push_back(static_cast<uint8_t>(next));
      ++i;
      continue;
    }
    std::string name;
    size_t end = i + 1;
    while (end < text.size() && text[end] < 0x80 && std::isalpha(static_cast<int>(text[end])))
      name += static_cast<char>(text[end++]);
    if (name == "log" && end < text.size() && text[end] == u'_') {
      name += '_';
      ++end;
    }
    const auto key = std::find_if(std::begin(kStructureKeys), std::end(kStructureKeys),
                                  [&](const StructureKey& k) { return name == k.name; });
    if (key == std::end(kStructureKeys)) return std::nullopt;
    out.push_back(key->code);
    i = end - 1;
  }
  return out;
}

std::optional<std::vector<Bytes>> EnhancedPackets(uint16_t address, uint8_t sequence, uint8_t question,
                                                  const Bytes& data, size_t chunk) {
  if (chunk == 0) chunk = 1;
  chunk = std::min<size_t>(chunk, 250);  // the header and the data stay within one packet's payload
  const size_t total = std::max<size_t>(1, (data.size() + chunk - 1) / chunk);
  if (total > 255) return std::nullopt;
  std::vector<Bytes> packets;
  for (size_t k = 0; k < total; ++k) {
    Bytes packet = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x25, sequence,
                    static_cast<uint8_t>(total),        static_cast<uint8_t>(k)};
    if (k == 0) packet.insert(packet.end(), {question, 0, 0});
    const size_t from = k * chunk;
    const size_t to = std::min(data.size(), from + chunk);
    if (from < to)
      packet.insert(packet.end(), data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
    packets.push_back(std::move(packet));
  }
  return packets;
}

std::optional<Bytes> Encode(Kind kind, std::string_view text) {
  std::optional<AnswerBytes> five;
  switch (kind) {
    case Kind::Choice: {
      const auto positions = ParseChoice(text);
      if (!positions) return std::nullopt;
      five = EncodeChoice(*positions);
      break;
    }
    case Kind::Number:
      five = EncodeNumber(text);
      break;
    case Kind::ShortAnswer:
      five = EncodeShortAnswer(text);
      break;
    case Kind::Text:
      return EncodeText(text);
    case Kind::Math:
      return EncodeMath(text);
  }
  if (!five) return std::nullopt;
  return Bytes(five->begin(), five->end());
}

}  // namespace SimAnswers

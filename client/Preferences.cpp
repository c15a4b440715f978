#include "client/Preferences.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "client/Strings.h"
#include "platform/Registry.h"

namespace Voxlet::Preferences {
namespace {

// The preference's text under HKEY_LM, path and store as the registry layer resolves them.
std::optional<std::string> ReadText(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name) {
  // The registry layer answers the default for a missing value; a marker default that no
  // stored line can hold (it has a line break) tells "missing" from any stored text.
  static const std::string kMissing = "\n";
  std::string text =
      ReadRegistryString(Platform::kLocalMachine, UTF16to8(path), UTF16to8(name), kMissing, UTF16to8(file));
  if (text == kMissing) return std::nullopt;
  return text;
}

}  // namespace

int64_t ReadIntegerValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name,
                         int64_t defaultValue) {
  const auto text = ReadText(file, path, name);
  if (!text) return defaultValue;
  const StringBuffer value = UTF8to16(*text);
  // Hand-edited stores may hold hexadecimal as registry editors write it ("0x1F").
  if (value.size() > 2 && value[0] == u'0' && (value[1] == u'x' || value[1] == u'X')) {
    char* end = nullptr;
    const std::string digits = text->substr(2);
    const unsigned long long v = std::strtoull(digits.c_str(), &end, 16);
    return (end && *end == '\0' && !digits.empty() && digits[0] != '-') ? static_cast<int64_t>(v) : defaultValue;
  }
  return ParseInteger(value, defaultValue);
}

StringBuffer ReadStringValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name,
                             const StringBuffer& defaultValue) {
  const auto text = ReadText(file, path, name);
  return text ? UTF8to16(*text) : defaultValue;
}

bool WriteIntegerValue(const StringBuffer& file, const StringBuffer& path, const StringBuffer& name, int64_t value) {
  return WriteRegistryString(Platform::kLocalMachine, UTF16to8(path), UTF16to8(name), std::to_string(value),
                             UTF16to8(file));
}

namespace SoftwareService {
StringBuffer GetUri() {
  const StringBuffer key = StringBuffer(Path) + u"\\" + Key;
  const StringBuffer uri = ReadStringValue(UTF8to16(kRegistryStoreName), key, UriName, DefaultUri);
  return uri.empty() ? StringBuffer(DefaultUri) : uri;
}
}  // namespace SoftwareService

}  // namespace Voxlet::Preferences

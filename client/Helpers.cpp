#include "client/Helpers.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "client/HostInfo.h"
#include "platform/FilePath.h"

namespace Voxlet {

bool FileExists(const StringBuffer& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::is_regular_file(Platform::Utf8Path(UTF16to8(path)), ec);
}

bool StringFromFile(const StringBuffer& path, StringBuffer& contents) {
  if (!FileExists(path)) return false;
  std::ifstream in(Platform::Utf8Path(UTF16to8(path)), std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  auto starts = [&](std::string_view mark) { return bytes.compare(0, mark.size(), mark) == 0; };
  if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
    const bool little = bytes[0] == '\xFF';
    StringBuffer text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto lo = static_cast<unsigned char>(bytes[little ? i : i + 1]);
      const auto hi = static_cast<unsigned char>(bytes[little ? i + 1 : i]);
      text.push_back(static_cast<char16_t>(hi << 8 | lo));
    }
    contents = std::move(text);
    return true;
  }
  contents = UTF8to16(starts("\xEF\xBB\xBF") ? std::string_view(bytes).substr(3) : std::string_view(bytes));
  return true;
}

namespace Helpers {
std::string LocalHostName() { return LookUpHost("localhost").name; }

std::string LocalHostAddress() {
  const HostInfo info = LookUpHost("localhost");
  return info.addresses.empty() ? std::string() : info.addresses.front();
}
}  // namespace Helpers

}  // namespace Voxlet

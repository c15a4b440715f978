#include "content/TextReplace.h"

namespace Content {

void ReplaceAll(Voxlet::StringBuffer& text, std::u16string_view from, std::u16string_view to) {
  if (from.empty()) return;
  size_t found = text.find(from);
  if (found == Voxlet::StringBuffer::npos) return;
  Voxlet::StringBuffer result;
  result.reserve(text.size());
  size_t start = 0;
  while (found != Voxlet::StringBuffer::npos) {
    result.append(text, start, found - start);
    result.append(to);
    start = found + from.size();
    found = text.find(from, start);
  }
  result.append(text, start);
  text.swap(result);
}

}  // namespace Content

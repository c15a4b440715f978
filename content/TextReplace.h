#pragma once
#include <string_view>

#include "text/StringBuffer.h"

namespace Content {

// Replaces every occurrence of `from` in `text` by `to`, left to right, without looking again
// at what was put in. One pass into a new string: a long answer full of matches stays linear.
void ReplaceAll(Voxlet::StringBuffer& text, std::u16string_view from, std::u16string_view to);

}  // namespace Content

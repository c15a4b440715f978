#pragma once
#include <cstdint>
#include <string_view>

#include "text/StringBuffer.h"

// Text helpers of the client library. Every number and boolean is read and written the same
// way whatever the process locale.
namespace Voxlet {

// The pieces of text between delimiters (any of the code units in delimiters). Empty pieces
// are dropped unless keepEmpty is set.
StringList Tokenize(std::u16string_view text, std::u16string_view delimiters, bool keepEmpty = false);

// True when the two texts are the same; with ignoreCase, compared after Unicode case folding.
bool CompareStringLiterals(std::u16string_view a, std::u16string_view b, bool ignoreCase);

// Decimal integer text, surrounding blanks allowed; defaultValue when it is not one or out of
// range.
int64_t ParseInteger(std::u16string_view text, int64_t defaultValue = 0);
// A number with "." as the decimal point ("1.5", "-2e3", "nan", "inf"); defaultValue when the
// text is not one.
double ParseDouble(std::u16string_view text, double defaultValue = 0.0);
// "true"/"false", "yes"/"no", "1"/"0" without regard to case; defaultValue otherwise.
bool ParseBoolean(std::u16string_view text, bool defaultValue = false);

StringBuffer FormatInteger(int64_t value);
// The shortest text that reads back as the same double ("0.1", "1e+21", "nan").
StringBuffer FormatDouble(double value);
StringBuffer FormatBoolean(bool value);  // "true" or "false"

// The text with &, <, >, " and ' written as XML entity references.
StringBuffer SafeForXml(std::u16string_view text);

namespace Url {
// Percent-encodes the UTF-8 bytes of text, all but the unreserved A-Z a-z 0-9 - _ . ~ (a
// query-string value or a path segment).
StringBuffer Encode(std::u16string_view text);
}  // namespace Url

}  // namespace Voxlet

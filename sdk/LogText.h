#pragma once
#include <string>
#include <string_view>

// Text that came from outside the service (a client's strings) made fit for one log line:
// control characters (CR and LF among them, the C1 range and the Unicode line and paragraph
// separators too) are written as escapes, and so is the backslash, so that such a text can
// neither start a line of its own nor pass for an escape it did not contain. Other UTF-8 is
// kept as it is.
std::string EscapeForLog(std::string_view utf8);

#pragma once
// Texts the relay's requests and log lines share.
#include <string>

#include "text/StringBuffer.h"

namespace Bridge {

// The header naming the student a request is about.
inline const Voxlet::StringBuffer kStudentHeader = u"X-Vantrel-Voxlet-Student";

// A request's text as the log writes it.
inline std::string Utf8(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }

}  // namespace Bridge

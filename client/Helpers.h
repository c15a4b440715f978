#pragma once
#include <string>

#include "text/StringBuffer.h"

namespace Voxlet {

// True when path names an existing regular file.
bool FileExists(const StringBuffer& path);

// The whole file as text (UTF-8 on disk; a UTF-8 or UTF-16 byte-order mark is honoured).
// False, with contents untouched, when the file cannot be read.
bool StringFromFile(const StringBuffer& path, StringBuffer& contents);

namespace Helpers {
// This machine's host name, and its first numeric address (IPv4 first), for the log mail.
// Empty when the lookup fails.
std::string LocalHostName();
std::string LocalHostAddress();
}  // namespace Helpers

}  // namespace Voxlet

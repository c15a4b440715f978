#pragma once
#include <string>

#include "client/http/Message.h"

namespace Bridge {

// The dump of a request that went wrong, as one log text (UTF-8, lines ended by CR LF): the
// client state, the request line, headers and body, then "Failed to send request." for a request
// that never went out (state 0) or the status line, headers and body of the reply (state 4).
// Empty for a request in any other state. A body longer than kDumpedBodyLimit bytes is cut
// there, with its full length said.
inline constexpr size_t kDumpedBodyLimit = 16384;
std::string UnexpectedEventText(const Voxlet::Message& message, int clientState);

}  // namespace Bridge

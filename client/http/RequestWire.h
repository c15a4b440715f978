#pragma once
// Internal to the client library: how a Message goes on the wire, apart from the transport.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/http/Message.h"

namespace Voxlet::Detail {

// The service address given to Connect: "http://host[:port][/base]".
struct ServiceAddress {
  std::string host;
  std::string port = "80";
  std::string basePath;  // without a trailing '/'; empty for the root
};
std::optional<ServiceAddress> ParseServiceAddress(const StringBuffer& uri);

struct WireRequest {
  bool post = false;
  std::string target;  // base path + the message's path, unsafe bytes percent-encoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The request as it is written, or nothing when it cannot be written (a path not starting with
// '/', a header name that is not a token, a header value with CR, LF or NUL). A message with
// parts gets a "multipart/mixed" body: one section per part with the part's headers, its content
// or else the message's; the message's own Content-Type then names the multipart body.
// `boundary` must not occur in any content.
std::optional<WireRequest> BuildWireRequest(const Message& message, const ServiceAddress& address,
                                            const std::string& boundary);

// A boundary that occurs in none of the message's contents.
std::string ChooseBoundary(const Message& message, unsigned long long seed);

}  // namespace Voxlet::Detail

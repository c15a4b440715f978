#pragma once
// The simulator's view of one HTTP exchange, apart from the transport.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ServiceSim {

// Header names compare without regard to case; the map keeps them lower-cased.
struct SimRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // as received: path and query
  std::map<std::string, std::string> headers;
  std::string body;

  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

struct SimReply {
  int status = 200;
  std::string contentType;  // empty: no body type
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When set, these bytes go out instead of a reply built from the fields above, and the
  // connection is closed after them (for broken replies in tests).
  std::optional<std::string> raw;
  // The reply goes out only this long after the request was handled (a slow service).
  int delayMs = 0;
};

std::string LowerAscii(std::string text);

}  // namespace ServiceSim

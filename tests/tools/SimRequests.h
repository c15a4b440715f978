#pragma once
// Requests to the simulated software service's session manager, as its HTTP server hands them
// over, for tests that drive it without a socket.
#include <map>
#include <string>

#include "tools/service-sim/SimText.h"
#include "tools/service-sim/SimTypes.h"

namespace ServiceSimRequests {

inline const std::string kHello = "/voxlet/builtins/anyone/hello?subject=urn%3Acom.vantrel.voxlet%3A";

inline ServiceSim::SimRequest Request(const std::string& method, const std::string& target,
                                      std::map<std::string, std::string> headers = {}, std::string body = {}) {
  ServiceSim::SimRequest r;
  r.method = method;
  r.target = target;
  for (auto& [name, value] : headers) r.headers[ServiceSim::LowerAscii(name)] = value;
  r.body = std::move(body);
  return r;
}

}  // namespace ServiceSimRequests

#pragma once
#include <string>
#include <vector>

namespace Voxlet {

struct HostInfo {
  std::string name;                    // the machine's host name
  std::vector<std::string> addresses;  // numeric addresses, IPv4 first
};

namespace Helpers {
// Looks a host up; "localhost" names this machine (its host name and its own addresses).
HostInfo LookUpHost(const std::string& host);
}  // namespace Helpers

}  // namespace Voxlet

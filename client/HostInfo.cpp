#include "client/HostInfo.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>

namespace Voxlet::Helpers {

HostInfo LookUpHost(const std::string& host) {
  HostInfo info;
  std::string lookup = host;
  if (host == "localhost") {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) info.name = name;
    lookup = info.name.empty() ? host : info.name;
  } else {
    info.name = host;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(lookup.c_str(), nullptr, &hints, &result) == 0) {
    size_t ipv4 = 0;
    for (addrinfo* a = result; a; a = a->ai_next) {
      char text[INET6_ADDRSTRLEN] = {};
      if (getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
      if (std::find(info.addresses.begin(), info.addresses.end(), text) != info.addresses.end()) continue;
      if (a->ai_family == AF_INET)
        info.addresses.insert(info.addresses.begin() + static_cast<long>(ipv4++), text);
      else
        info.addresses.push_back(text);
    }
    freeaddrinfo(result);
  }
  return info;
}

}  // namespace Voxlet::Helpers

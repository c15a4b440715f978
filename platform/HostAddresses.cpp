#include <algorithm>

#include "platform/NetworkHeaders.h"
#include "platform/Socket.h"

// Host names and IPv4 addresses: the same calls on POSIX sockets and on Winsock.
namespace Platform {

bool ParseAddress(const char* text, in_addr& address) { return inet_pton(AF_INET, text, &address) == 1; }

bool ResolveAddress(const char* host, in_addr& address) {
  StartSockets();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

in_addr AnyAddress() {
  in_addr a{};
  a.s_addr = htonl(INADDR_ANY);
  return a;
}

in_addr NoAddress() {
  in_addr a{};
  a.s_addr = INADDR_NONE;
  return a;
}

std::string HostName() {
  StartSockets();
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::vector<std::string> HostAddresses(const std::string& host) {
  StartSockets();
  std::vector<std::string> addresses;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) return addresses;
  size_t ipv4 = 0;
  for (addrinfo* a = result; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr, 0, NI_NUMERICHOST) !=
        0)
      continue;
    if (std::find(addresses.begin(), addresses.end(), text) != addresses.end()) continue;
    if (a->ai_family == AF_INET)
      addresses.insert(addresses.begin() + static_cast<long>(ipv4++), text);
    else
      addresses.push_back(text);
  }
  freeaddrinfo(result);
  return addresses;
}

}  // namespace Platform

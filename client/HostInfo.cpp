#include "client/HostInfo.h"

#include "platform/Socket.h"

namespace Voxlet::Helpers {

HostInfo LookUpHost(const std::string& host) {
  HostInfo info;
  info.name = host == "localhost" ? Platform::HostName() : host;
  info.addresses = Platform::HostAddresses(host == "localhost" && !info.name.empty() ? info.name : host);
  return info;
}

}  // namespace Voxlet::Helpers

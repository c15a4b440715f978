#include "client/http/RequestWire.h"

#include <cstdio>

namespace Voxlet::Detail {

namespace {

bool IsTokenChar(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  static const std::string separators = "()<>@,;:\\\"/[]?={}";
  return separators.find(static_cast<char>(c)) == std::string::npos;
}

bool ValidName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (!IsTokenChar(c)) return false;
  return true;
}

bool ValidValue(const std::string& value) { return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

// Percent-encodes controls, blanks, DEL and non-ASCII bytes; everything else passes as the
// caller encoded it.
std::string EncodeTarget(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c >= 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool AppendHeaders(const Header::Collection& headers, std::vector<std::pair<std::string, std::string>>& out) {
  for (const auto& [name16, value16] : headers) {
    std::string name = UTF16to8(name16), value = UTF16to8(value16);
    if (!ValidName(name) || !ValidValue(value)) return false;
    out.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

}  // namespace

std::optional<ServiceAddress> ParseServiceAddress(const StringBuffer& uri16) {
  const std::string uri = UTF16to8(uri16);
  const std::string scheme = "http://";
  if (uri.size() <= scheme.size()) return std::nullopt;
  for (size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(uri[i])) != scheme[i]) return std::nullopt;
  const size_t hostStart = scheme.size();
  const size_t pathStart = std::min(uri.find('/', hostStart), uri.size());
  std::string authority = uri.substr(hostStart, pathStart - hostStart);
  ServiceAddress address;
  if (authority.empty() || authority.find('@') != std::string::npos) return std::nullopt;
  size_t portColon = std::string::npos;
  if (authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    address.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::nullopt;
      portColon = close + 1;
    }
  } else {
    portColon = authority.find(':');
    address.host = authority.substr(0, portColon);
  }
  if (portColon != std::string::npos) {
    address.port = authority.substr(portColon + 1);
    if (address.port.empty() || address.port.size() > 5 ||
        address.port.find_first_not_of("0123456789") != std::string::npos || std::stoi(address.port) > 65535)
      return std::nullopt;
  }
  if (address.host.empty()) return std::nullopt;
  address.basePath = uri.substr(pathStart);
  while (!address.basePath.empty() && address.basePath.back() == '/') address.basePath.pop_back();
  if (address.basePath.find_first_of("?#") != std::string::npos) return std::nullopt;
  return address;
}

std::string ChooseBoundary(const Message& message, unsigned long long seed) {
  for (;; ++seed) {
    const std::string boundary = "voxlet-part-" + std::to_string(seed);
    bool clash = message.GetContent().Bytes().find(boundary) != std::string::npos;
    for (const Part& part : message.Parts())
      if (part.GetContent() && part.GetContent()->Bytes().find(boundary) != std::string::npos) clash = true;
    if (!clash) return boundary;
  }
}

std::optional<WireRequest> BuildWireRequest(const Message& message, const ServiceAddress& address,
                                            const std::string& boundary) {
  const std::string path = UTF16to8(message.Path());
  if (path.empty() || path.front() != '/') return std::nullopt;
  WireRequest wire;
  wire.post = message.Method() == Methods::Post;
  wire.target = EncodeTarget(address.basePath + path);
  if (!AppendHeaders(message.Headers(), wire.headers)) return std::nullopt;
  if (message.Parts().empty()) {
    wire.body = message.GetContent().Bytes();
    return wire;
  }

  const std::string contentType = UTF16to8(message.Headers().Get(Header::ContentType));
  for (const Part& part : message.Parts()) {
    std::vector<std::pair<std::string, std::string>> partHeaders;
    if (!AppendHeaders(part.Headers(), partHeaders)) return std::nullopt;
    if (!part.GetContent() && !contentType.empty() && !part.Headers().Contains(Header::ContentType))
      partHeaders.emplace_back("Content-Type", contentType);
    wire.body += "--" + boundary + "\r\n";
    for (const auto& [name, value] : partHeaders) wire.body += name + ": " + value + "\r\n";
    wire.body += "\r\n";
    wire.body += part.GetContent() ? part.GetContent()->Bytes() : message.GetContent().Bytes();
    wire.body += "\r\n";
  }
  wire.body += "--" + boundary + "--\r\n";
  std::erase_if(wire.headers, [](const auto& h) { return SameHeaderName(UTF8to16(h.first), Header::ContentType); });
  wire.headers.emplace_back("Content-Type", "multipart/mixed; boundary=\"" + boundary + "\"");
  return wire;
}

}  // namespace Voxlet::Detail

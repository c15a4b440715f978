#pragma once
// One HTTP exchange with the software-service simulator over a plain socket, for the simulator's
// tests: one request (Connection: close), then the reply until the server closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The reply's status (0 when the connection closed without a reply) and body.
inline std::pair<int, std::string> SimHttpExchange(uint16_t port, const std::string& method, const std::string& target,
                                                   const std::vector<std::string>& headers, const std::string& body) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const std::string& header : headers) request += header + "\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    (void)!write(fd, request.data(), request.size());
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (reply.rfind("HTTP/1.1 ", 0) != 0) return {0, reply};
  const size_t bodyAt = reply.find("\r\n\r\n");
  return {std::stoi(reply.substr(9, 3)), bodyAt == std::string::npos ? "" : reply.substr(bodyAt + 4)};
}

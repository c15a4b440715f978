#include "tests/service/SmtpSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool SendLine(int fd, const std::string& line) {
  const std::string text = line + "\r\n";
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

}  // namespace

SmtpSink::SmtpSink() {
  m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(m_listen, 4);
  socklen_t len = sizeof addr;
  getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  if (pipe(m_stopPipe) != 0) m_stopPipe[0] = m_stopPipe[1] = -1;
  m_thread = std::thread([this] { Serve(); });
}

SmtpSink::~SmtpSink() {
  if (m_stopPipe[1] >= 0) [[maybe_unused]]
    ssize_t n = write(m_stopPipe[1], "x", 1);
  m_thread.join();
  close(m_listen);
  close(m_stopPipe[0]);
  close(m_stopPipe[1]);
}

std::vector<std::string> SmtpSink::Mails() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_mails;
}

std::vector<std::string> SmtpSink::Envelope() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_envelope;
}

void SmtpSink::Serve() {
  for (;;) {
    pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN)) return;
    const int fd = accept(m_listen, nullptr, nullptr);
    if (fd < 0) continue;
    SendLine(fd, "220 sink ESMTP");
    std::string buffer, data;
    bool inData = false;
    for (bool open = true; open;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
      if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) {
        close(fd);
        return;
      }
      char chunk[4096];
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      for (size_t end; open && (end = buffer.find("\r\n")) != std::string::npos;) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        if (inData) {
          if (line == ".") {
            inData = false;
            std::lock_guard<std::mutex> guard(m_lock);
            m_mails.push_back(data);
            data.clear();
            SendLine(fd, "250 queued");
          } else {
            if (!line.empty() && line[0] == '.') line.erase(0, 1);
            data += line + "\r\n";
          }
          continue;
        }
        const std::string verb = line.substr(0, 4);
        if (verb == "EHLO" || verb == "HELO") {
          SendLine(fd, "250 sink");
        } else if (verb == "MAIL" || verb == "RCPT") {
          std::lock_guard<std::mutex> guard(m_lock);
          m_envelope.push_back(line);
          SendLine(fd, "250 ok");
        } else if (verb == "DATA") {
          inData = true;
          SendLine(fd, "354 go ahead");
        } else if (verb == "QUIT") {
          SendLine(fd, "221 bye");
          open = false;
        } else {
          SendLine(fd, "250 ok");
        }
      }
    }
    close(fd);
  }
}

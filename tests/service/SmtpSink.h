#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

// A minimal SMTP server on loopback for one client; it accepts every mail and keeps every line
// the client sent, as sent (the data of a mail dot-stuffed).
class SmtpSink {
 public:
  SmtpSink() {
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    socklen_t len = sizeof addr;
    bind(m_listen, reinterpret_cast<sockaddr*>(&addr), len);
    listen(m_listen, 1);
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::jthread([this] { Serve(accept(m_listen, nullptr, nullptr)); });
  }
  ~SmtpSink() {
    shutdown(m_listen, SHUT_RDWR);  // ends the accept when no client came
    m_thread.join();
    close(m_listen);
  }
  int Port() const { return m_port; }
  std::string Received() {
    std::lock_guard guard(m_lock);
    return m_received;
  }

 private:
  // The conversation runs while the client's call does, so it is over before the sink goes.
  void Serve(int fd) {
    if (fd < 0) return;
    const auto say = [fd](const std::string& line) { send(fd, (line + "\r\n").data(), line.size() + 2, MSG_NOSIGNAL); };
    say("220 sink ESMTP");
    std::string buffer;
    bool inData = false;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = buffer.find("\r\n")) != std::string::npos; buffer.erase(0, end + 2)) {
        const std::string line = buffer.substr(0, end);
        const std::lock_guard guard(m_lock);
        m_received += line + "\r\n";
        if (inData) {
          inData = line != ".";
          if (!inData) say("250 queued");
        } else if (line.starts_with("DATA")) {
          inData = true;
          say("354 go ahead");
        } else {
          say(line.starts_with("QUIT") ? "221 bye" : "250 ok");
        }
      }
    }
    close(fd);
  }

  int m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int m_port = 0;
  std::mutex m_lock;
  std::string m_received;
  std::jthread m_thread;
};

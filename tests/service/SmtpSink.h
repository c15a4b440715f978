#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A minimal SMTP server on loopback for one client; it keeps the envelope commands ("MAIL
// FROM:<...>", "RCPT TO:<...>") and the data of each mail with the dot-stuffing undone.
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
  std::vector<std::string> Mails() {
    std::lock_guard guard(m_lock);
    return m_mails;
  }
  std::vector<std::string> Envelope() {
    std::lock_guard guard(m_lock);
    return m_envelope;
  }

 private:
  // The conversation runs while the client's call does, so it is over before the sink goes.
  void Serve(int fd) {
    if (fd < 0) return;
    const auto say = [fd](const std::string& line) { send(fd, (line + "\r\n").data(), line.size() + 2, MSG_NOSIGNAL); };
    say("220 sink ESMTP");
    std::string buffer, data;
    bool inData = false, open = true;
    char chunk[4096];
    for (ssize_t n; open && (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<size_t>(n));
      for (size_t end; open && (end = buffer.find("\r\n")) != std::string::npos; buffer.erase(0, end + 2)) {
        const std::string line = buffer.substr(0, end);
        const std::lock_guard guard(m_lock);
        if (inData && line == ".") {
          inData = false;
          m_mails.push_back(std::exchange(data, {}));
          say("250 queued");
        } else if (inData) {
          data += line.substr(line.starts_with('.') ? 1 : 0) + "\r\n";
        } else if (line.starts_with("DATA")) {
          inData = true;
          say("354 go ahead");
        } else {
          if (line.starts_with("MAIL") || line.starts_with("RCPT")) m_envelope.push_back(line);
          open = !line.starts_with("QUIT");
          say(open ? "250 ok" : "221 bye");
        }
      }
    }
    close(fd);
  }

  int m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int m_port = 0;
  std::mutex m_lock;
  std::vector<std::string> m_mails, m_envelope;
  std::jthread m_thread;
};

#pragma once
#include <mutex>
#include <string>
#include <thread>

#include "platform/Socket.h"

// A minimal SMTP server on loopback for one client; it accepts every mail and keeps every line
// the client sent, as sent (the data of a mail dot-stuffed).
class SmtpSink {
 public:
  SmtpSink() {
    Platform::ParseAddress("127.0.0.1", m_loopback);
    Platform::BindSocket(m_listen, m_loopback, 0);
    Platform::ListenSocket(m_listen, 2);
    m_port = Platform::BoundPort(m_listen);
    m_thread = std::jthread([this] { Serve(Platform::AcceptSocket(m_listen)); });
  }
  ~SmtpSink() {
    // Ends an accept that no client came to (a connection of its own, closed at once; an
    // accept that was over leaves it in the backlog).
    const Platform::SocketHandle wake = Platform::OpenSocket(Platform::SocketKind::kTcp);
    Platform::ConnectSocket(wake, m_loopback, static_cast<uint16_t>(m_port));
    Platform::CloseSocket(wake);
    m_thread.join();
    Platform::CloseSocket(m_listen);
  }
  int Port() const { return m_port; }
  std::string Received() {
    std::lock_guard guard(m_lock);
    return m_received;
  }

 private:
  // The conversation runs while the client's call does, so it is over before the sink goes.
  void Serve(Platform::SocketHandle s) {
    if (s == Platform::kNoSocket) return;
    const auto say = [s](const std::string& line) { Platform::SendSocket(s, (line + "\r\n").data(), line.size() + 2); };
    say("220 sink ESMTP");
    std::string buffer;
    bool inData = false;
    char chunk[4096];
    for (ssize_t n; (n = Platform::ReceiveSocket(s, chunk, sizeof chunk)) > 0;) {
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
    Platform::CloseSocket(s);
  }

  Platform::SocketHandle m_listen = Platform::OpenSocket(Platform::SocketKind::kTcp);
  in_addr m_loopback{};
  int m_port = 0;
  std::mutex m_lock;
  std::string m_received;
  std::jthread m_thread;
};

#pragma once
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A minimal SMTP server on loopback that accepts every mail and keeps what it received.
class SmtpSink {
 public:
  SmtpSink();
  ~SmtpSink();
  int Port() const { return m_port; }
  // The DATA of every mail received so far (dot-stuffing undone).
  std::vector<std::string> Mails();
  // The envelope commands received ("MAIL FROM:<...>", "RCPT TO:<...>").
  std::vector<std::string> Envelope();

 private:
  void Serve();
  int m_listen = -1;
  int m_stopPipe[2] = {-1, -1};
  int m_port = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::vector<std::string> m_mails;
  std::vector<std::string> m_envelope;
};

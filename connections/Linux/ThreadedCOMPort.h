#pragma once
#include <termios.h>

#include <vector>

#include "connections/Linux/ThreadedPort.h"

// A receiver on a serial tty (any tty path: ttyACM, ttyUSB, a pseudo-terminal). Opened
// exclusively, raw, non-blocking, 9600 8N1 with DTR down and RTS raised; the tty's own settings
// come back at close, which waits at most a second for output to drain, and not at all once
// the device is lost.
class CThreadedCOMPort : public CThreadedPort {
 public:
  CThreadedCOMPort() = default;
  ~CThreadedCOMPort() override;

  bool SetLine(const LineSettings& settings) override;
  bool GetLine(LineSettings* settings) override;

 protected:
  std::error_code DoOpen(const std::string& name) override;
  void DoClose() override;
  int Fd() const override { return m_fd; }
  std::error_code DoRead() override;
  std::error_code DoWrite(const CSBIOPacket& packet, size_t offset, size_t* written) override;
  size_t WriteLength(const CSBIOPacket& packet) const override { return packet.PayloadLength(); }
  Voxlet::StringBuffer DoPnPId() override;
  bool DoReset(bool pulse) override;

  // Pause after each candidate setting of the detection routine.
  virtual int CandidateSettleMs() const { return 0; }

  // How long a close waits for output a device that is still there has not taken yet.
  static constexpr unsigned short kClosingWaitCs = 100;

  // The tty's control operations, replaced by tests (a pseudo-terminal has neither).
  // Modem control lines (TIOCM_RTS, TIOCM_DTR); ignored by ttys without them.
  virtual void SetModemLines(int lines, bool on);
  // The closing wait (TtyLine::SetClosingWait); ignored by ttys without one.
  virtual void SetClosingWait(unsigned short centiseconds);
  void Purge();
  bool WriteAll(const uint8_t* bytes, size_t length, int timeoutMs);
  // Reads up to `count` bytes, waiting at most timeoutMs for them.
  std::vector<uint8_t> ReadFor(size_t count, int timeoutMs);

  int m_fd = -1;

 private:
  termios m_saved{};
  bool m_savedValid = false;
  uint8_t m_readBuffer[2048];
};

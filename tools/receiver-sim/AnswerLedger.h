#pragma once
// The radio's own record of the answers it delivered: an answer counts as acknowledged once the
// service's acknowledgement frame came back on the line for every packet of it (one for a
// single-packet answer, one per part of a text or math answer). Each acknowledged answer is one
// line, written with a single write(2) to a file opened for appending, as it happens, so the
// record survives whatever happens to the service and can go to a serial port as well.
//
// Acknowledgements carry no clicker address, only the acknowledged command; the service sends
// them in the order it read the packets, so each one belongs to the oldest packet of that command
// still waiting. A packet the service never acknowledged (read while its queue was full, written
// before it opened the line) is let go once it has waited kAckWaitMs, so that it does not take a
// later packet's acknowledgement.
//
// Line formats (fields separated by one blank, times in ms since the epoch, MAC addresses as
// eight hexadecimal bytes joined by '-', as the service writes them):
//   MS answer RECEIVER-MAC CLICKER-MAC ADDRESS QUESTION KIND HEX TEXT...
//   MS review RECEIVER-MAC CLICKER-MAC ADDRESS
// ADDRESS is the clicker's short address (4 hex digits), KIND the answer's kind (choice, number,
// short, text, math, raw), HEX its answer bytes (the data of every part, joined), TEXT what was
// typed (may hold blanks; "-" for raw bytes). "review" records the service putting that one
// clicker into review mode (a session end addressed to it).
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct LedgerAnswer {
  uint32_t clickerMacHigh = 0, clickerMacLow = 0;
  uint16_t address = 0;
  int question = 0;
  std::string kind;  // "choice", ..., "raw"
  std::vector<uint8_t> bytes;
  std::string text;
};

class CAnswerLedger {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kAckWaitMs = 5000;

  CAnswerLedger() = default;
  CAnswerLedger(const CAnswerLedger&) = delete;
  CAnswerLedger& operator=(const CAnswerLedger&) = delete;
  ~CAnswerLedger();

  // Opens (creates) the file for appending; false when it cannot be opened. Without a file
  // nothing is tracked.
  bool Open(const std::string& path, uint32_t receiverMacHigh, uint32_t receiverMacLow);
  bool IsOpen() const;

  // An answer about to go out as `packets` packets of `command` (0x0B or 0x25). Called before
  // the packets are written, so that no acknowledgement can come first.
  void Expect(const LedgerAnswer& answer, uint8_t command, int packets);
  // The service acknowledged a packet of `command` (the acknowledgement's command without its
  // flag) at `at`.
  void Acknowledged(uint8_t command, Clock::time_point at = Clock::now());
  // The line was replaced (the receiver was plugged in again): what waited for an
  // acknowledgement on the old one gets none.
  void ForgetPending();
  // The service put this clicker into review mode.
  void Review(uint32_t clickerMacHigh, uint32_t clickerMacLow, uint16_t address);

  // Answers recorded so far (for tests and the simulator's own report).
  size_t Recorded() const;

  // The text of one line (without the time field's value depending on the clock): exposed for tests.
  static std::string AnswerLine(int64_t epochMs, const std::string& receiverMac, const LedgerAnswer& answer);
  static std::string MacText(uint32_t high, uint32_t low);

 private:
  struct Waiting {
    std::shared_ptr<LedgerAnswer> answer;
    std::shared_ptr<int> partsLeft;
    Clock::time_point sent;
  };
  void WriteLine(const std::string& line);

  mutable std::mutex m_lock;
  int m_fd = -1;
  std::string m_receiverMac;
  std::map<uint8_t, std::deque<Waiting>> m_waiting;  // per command, oldest first
  size_t m_recorded = 0;
};

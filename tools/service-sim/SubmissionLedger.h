#pragma once
// The software service's own record of the submissions it was sent: one line per submission
// request, whatever became of it, written with a single write to a file opened for appending as
// the request is answered, so that the record survives a kill of either side.
//
// Line format (fields separated by one blank; "-" for an empty field):
//   MS OUTCOME STATUS DELAY-MS ENDPOINT STUDENT MAC CLASS ASSESSMENT QUESTION DIGEST ANSWER...
// MS: ms since the epoch. OUTCOME: accepted (recorded, first time), duplicate (recorded, the same
// endpoint sent the same document byte for byte before, in this run of the simulator), refused
// (a verdict: 4xx, not recorded), unavailable (503 before handling), reset (the connection was
// closed without a reply, before handling). STATUS: the status answered (0 for reset).
// DELAY-MS: how long the reply was held back. ENDPOINT, STUDENT: the request's endpoint and
// student headers. MAC: the clicker's MAC address as its hello gave it. DIGEST: 64-bit FNV-1a of
// the submission document, in hexadecimal (byte-identical documents have the same). ANSWER: the
// response's text, line breaks as blanks (may hold blanks).
#include <cstdint>
#include <mutex>
#include <string>

namespace ServiceSim {

struct LedgerEntry {
  std::string outcome;
  int status = 0;
  int delayMs = 0;
  std::string endpoint, student, mac, classId, assessment, question, answer;
  std::string document;
};

class SubmissionLedger {
 public:
  SubmissionLedger() = default;
  SubmissionLedger(const SubmissionLedger&) = delete;
  SubmissionLedger& operator=(const SubmissionLedger&) = delete;
  ~SubmissionLedger();

  // Opens (creates) the file for appending; false when it cannot be opened.
  bool Open(const std::string& path);
  bool IsOpen() const;
  void Record(const LedgerEntry& entry);

  static std::string Line(int64_t epochMs, const LedgerEntry& entry);
  static std::string Digest(const std::string& document);

 private:
  mutable std::mutex m_lock;
  int m_fd = -1;
};

}  // namespace ServiceSim

#include "AnswerLedger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

CAnswerLedger::~CAnswerLedger() {
  if (m_fd >= 0) close(m_fd);
}

bool CAnswerLedger::Open(const std::string& path, uint32_t receiverMacHigh, uint32_t receiverMacLow) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) return false;
  std::lock_guard guard(m_lock);
  if (m_fd >= 0) close(m_fd);
  m_fd = fd;
  m_receiverMac = MacText(receiverMacHigh, receiverMacLow);
  return true;
}

bool CAnswerLedger::IsOpen() const {
  std::lock_guard guard(m_lock);
  return m_fd >= 0;
}

std::string CAnswerLedger::MacText(uint32_t high, uint32_t low) {
  char text[24];
  snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", (high >> 24) & 0xFF, (high >> 16) & 0xFF,
           (high >> 8) & 0xFF, high & 0xFF, (low >> 24) & 0xFF, (low >> 16) & 0xFF, (low >> 8) & 0xFF, low & 0xFF);
  return text;
}

std::string CAnswerLedger::AnswerLine(int64_t epochMs, const std::string& receiverMac, const LedgerAnswer& answer) {
  char head[96];
  snprintf(head, sizeof head, "%lld answer %s %s %04x %d %s ", static_cast<long long>(epochMs), receiverMac.c_str(),
           MacText(answer.clickerMacHigh, answer.clickerMacLow).c_str(), answer.address, answer.question,
           answer.kind.empty() ? "raw" : answer.kind.c_str());
  std::string line = head;
  static const char kHex[] = "0123456789abcdef";
  for (uint8_t b : answer.bytes) {
    line += kHex[b >> 4];
    line += kHex[b & 15];
  }
  if (answer.bytes.empty()) line += '-';
  line += ' ';
  // One line per answer: line breaks in what was typed become blanks.
  std::string text = answer.text.empty() ? "-" : answer.text;
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return line + text + '\n';
}

namespace {
int64_t EpochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}
}  // namespace

void CAnswerLedger::Expect(const LedgerAnswer& answer, uint8_t command, int packets) {
  std::lock_guard guard(m_lock);
  if (m_fd < 0 || packets <= 0) return;
  auto shared = std::make_shared<LedgerAnswer>(answer);
  auto left = std::make_shared<int>(packets);
  const Clock::time_point now = Clock::now();
  for (int k = 0; k < packets; ++k) m_waiting[command].push_back({shared, left, now});
}

void CAnswerLedger::Acknowledged(uint8_t command, Clock::time_point at) {
  std::lock_guard guard(m_lock);
  const auto it = m_waiting.find(command);
  if (it == m_waiting.end()) return;
  std::deque<Waiting>& queue = it->second;
  while (!queue.empty() && at - queue.front().sent > std::chrono::milliseconds(kAckWaitMs)) queue.pop_front();
  if (queue.empty()) return;
  Waiting waiting = std::move(queue.front());
  queue.pop_front();
  if (--*waiting.partsLeft != 0) return;
  WriteLine(AnswerLine(EpochMs(), m_receiverMac, *waiting.answer));
  ++m_recorded;
}

void CAnswerLedger::ForgetPending() {
  std::lock_guard guard(m_lock);
  m_waiting.clear();
}

void CAnswerLedger::Review(uint32_t clickerMacHigh, uint32_t clickerMacLow, uint16_t address) {
  std::lock_guard guard(m_lock);
  if (m_fd < 0) return;
  char line[96];
  snprintf(line, sizeof line, "%lld review %s %s %04x\n", static_cast<long long>(EpochMs()), m_receiverMac.c_str(),
           MacText(clickerMacHigh, clickerMacLow).c_str(), address);
  WriteLine(line);
}

size_t CAnswerLedger::Recorded() const {
  std::lock_guard guard(m_lock);
  return m_recorded;
}

// Under m_lock. One write: with O_APPEND the line lands whole even with other writers.
void CAnswerLedger::WriteLine(const std::string& line) {
  if (m_fd < 0) return;
  ssize_t n;
  do {
    n = write(m_fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(line.size())) fprintf(stderr, "receiver-sim: ledger write failed\n");
}

#include "tools/service-sim/SubmissionLedger.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ServiceSim {

namespace {

#ifdef _WIN32
int OpenAppend(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, 0644);
}
int WriteAll(int fd, const std::string& text) { return _write(fd, text.data(), static_cast<unsigned>(text.size())); }
void CloseFile(int fd) { _close(fd); }
#else
int OpenAppend(const std::string& path) { return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); }
int WriteAll(int fd, const std::string& text) {
  ssize_t n;
  do {
    n = write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  return static_cast<int>(n);
}
void CloseFile(int fd) { close(fd); }
#endif

// A field without blanks or line breaks, "-" when empty.
std::string Field(const std::string& text) {
  if (text.empty()) return "-";
  std::string field = text;
  for (char& c : field)
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = '_';
  return field;
}

}  // namespace

SubmissionLedger::~SubmissionLedger() {
  if (m_fd >= 0) CloseFile(m_fd);
}

bool SubmissionLedger::Open(const std::string& path) {
  const int fd = OpenAppend(path);
  if (fd < 0) return false;
  std::lock_guard lock(m_lock);
  if (m_fd >= 0) CloseFile(m_fd);
  m_fd = fd;
  return true;
}

bool SubmissionLedger::IsOpen() const {
  std::lock_guard lock(m_lock);
  return m_fd >= 0;
}

std::string SubmissionLedger::Digest(const std::string& document) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : document) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[20];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string SubmissionLedger::Line(int64_t epochMs, const LedgerEntry& e) {
  std::string answer = e.answer.empty() ? "-" : e.answer;
  for (char& c : answer)
    if (c == '\n' || c == '\r') c = ' ';
  return std::to_string(epochMs) + " " + Field(e.outcome) + " " + std::to_string(e.status) + " " +
         std::to_string(e.delayMs) + " " + Field(e.endpoint) + " " + Field(e.student) + " " + Field(e.mac) + " " +
         Field(e.classId) + " " + Field(e.assessment) + " " + Field(e.question) + " " + Digest(e.document) + " " +
         answer + "\n";
}

void SubmissionLedger::Record(const LedgerEntry& entry) {
  const int64_t now =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const std::string line = Line(now, entry);
  std::lock_guard lock(m_lock);
  if (m_fd < 0) return;
  if (WriteAll(m_fd, line) != static_cast<int>(line.size()))
    fprintf(stderr, "ovanta-service-sim: ledger write failed\n");
}

}  // namespace ServiceSim

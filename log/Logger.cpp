#include "log/Logger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "client/HostInfo.h"
#include "client/Mail.h"
#include "client/Preferences.h"
#include "platform/AtomicFile.h"
#include "platform/FilePath.h"

LoggerSlot g_pLogger;

LoggerSlot::Use LoggerSlot::Acquire() const {
  if (!m_logger.load()) return Use(nullptr, nullptr);  // no logging: nothing to count
  m_users.fetch_add(1);
  CLogger* logger = m_logger.load();
  if (!logger) {
    Release();
    return Use(nullptr, nullptr);
  }
  return Use(this, logger);
}

void LoggerSlot::Release() const {
  // Counted down before the swapping flag is read, and the flag is set before the exchanger
  // reads the count: either the exchanger sees no user, or the last user sees the flag.
  if (m_users.fetch_sub(1) == 1 && m_swapping.load()) {
    std::lock_guard<std::mutex> guard(m_swapLock);
    m_released.notify_all();
  }
}

CLogger* LoggerSlot::exchange(CLogger* logger) {
  std::unique_lock<std::mutex> guard(m_swapLock);
  m_swapping.store(true);
  CLogger* previous = m_logger.exchange(logger);
  m_released.wait(guard, [this] { return m_users.load() == 0; });
  m_swapping.store(false);
  return previous;
}

namespace {

// The trim keeps at most this many of the newest bytes, starting at a line boundary.
constexpr long kTrimKeep = 50000;
// A file of this size or more is trimmed when it is opened.
constexpr long kTrimAtOpen = 100000;
// A file of this size or more is trimmed before the next line is written.
constexpr long kTrimWhileWriting = 4000001;
constexpr int kBatchLines = 8;

long FileSize(FILE* file) {
  struct stat st {};
  if (!file || fstat(fileno(file), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
    text.replace(pos, from.size(), to);
}

}  // namespace

CLogger::CLogger(LogChangedIntf* listener) : m_listener(listener) { Start(); }

CLogger::~CLogger() {
  m_stopEvent.Set();
  Join();
  Close();
}

std::string CLogger::FormatLine(uint32_t lineNumber, uint16_t mask, const LogEntry& e) {
  const Platform::SystemTime& t = e.time;
  const int head = snprintf(nullptr, 0, "%u: (%d/%d %d:%.2d:%.2d.%.3d) - ", lineNumber, t.month, t.day, t.hour,
                            t.minute, t.second, t.milliseconds);
  std::string line(static_cast<size_t>(head), '\0');
  snprintf(line.data(), line.size() + 1, "%u: (%d/%d %d:%.2d:%.2d.%.3d) - ", lineNumber, t.month, t.day, t.hour,
           t.minute, t.second, t.milliseconds);
  if (mask & kLogSourceLocation) {
    line += e.sourceFile;
    line += "(" + std::to_string(e.sourceLine) + ") : ";
  }
  line += e.message;
  return line;
}

void CLogger::Log(const char* sourceFile, uint32_t sourceLine, uint16_t flags, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(sourceFile, sourceLine, flags, format, args);
  va_end(args);
}

void CLogger::LogV(const char* sourceFile, uint32_t sourceLine, uint16_t flags, const char* format, va_list args) {
  if (!format) return;  // an invalid argument: nothing to log
  auto entry = std::make_unique<LogEntry>();
  entry->time = Platform::GetLocalTime();
  entry->sourceFile = sourceFile ? sourceFile : "";
  entry->sourceLine = sourceLine;
  entry->flags = flags;
  // One pass for the usual short message; a second only for a long one.
  char buffer[512];
  va_list copy;
  va_copy(copy, args);
  const int size = vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  if (size > 0 && static_cast<size_t>(size) < sizeof buffer) {
    entry->message.assign(buffer, static_cast<size_t>(size));
  } else if (size > 0) {
    entry->message.resize(static_cast<size_t>(size));
    vsnprintf(entry->message.data(), entry->message.size() + 1, format, args);
  }
  bool wasEmpty;
  {
    CCriticalSectionProtectScope guard(m_queueLock);
    wasEmpty = m_queue.empty();
    m_queue.push_back(std::move(entry));
  }
  // The writer drains the queue until it finds it empty, so only a push onto an empty queue
  // needs to wake it; a burst costs one wake-up, not one system call a line.
  if (wasEmpty) m_queueEvent.Set();
}

std::unique_ptr<LogEntry> CLogger::TakeEntry(size_t& remaining) {
  CCriticalSectionProtectScope guard(m_queueLock);
  std::unique_ptr<LogEntry> entry;
  if (!m_queue.empty()) {
    entry = std::move(m_queue.front());
    m_queue.pop_front();
  }
  remaining = m_queue.size();
  return entry;
}

unsigned CLogger::Run() {
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent),
                                          Platform::WaitHandle::Of(m_queueEvent)};
  for (;;) {
    if (Platform::WaitForAny(handles, -1) != 1) return 0;
    // Batches of eight lines, the listener told after each, until the queue runs empty: a
    // burst is written at once rather than left waiting for the next log call.
    bool drained = false;
    while (!drained) {
      const int written = WriteBatch(drained);
      if (written > 0 && m_listener) m_listener->OnLogChanged();
    }
  }
}

int CLogger::WriteBatch(bool& drained) {
  std::lock_guard<std::mutex> fileGuard(m_fileLock);
  int written = 0;
  drained = false;
  while (written < kBatchLines) {
    size_t remaining = 0;
    std::unique_ptr<LogEntry> entry = TakeEntry(remaining);
    if (entry && WriteEntry(*entry)) {
      ++m_unflushed;
      ++written;
    }
    if (remaining == 0) {
      if (m_unflushed > 0) {
        Flush();
        m_unflushed = 0;
      }
      drained = true;
      break;
    }
  }
  return written;
}

bool CLogger::WriteEntry(const LogEntry& entry) {
  const uint16_t mask = m_mask.load();
  if (mask == 0 || (mask & entry.flags) == 0) return false;
  // Trimmed before the line is formatted, so the first line after a trim is number 1.
  if (m_file && FileSize(m_file) >= kTrimWhileWriting) Trim();
  std::string line = FormatLine(m_lineNumber, mask, entry);
  if (m_echo.load()) fprintf(stderr, "%s\n", line.c_str());
  line += "\r\n";
  if (m_file) {
    fputs(line.c_str(), m_file);
    m_writtenSinceMail = true;
  }
  ++m_lineNumber;
  return true;
}

void CLogger::Flush() {
  if (!m_file) return;
  fflush(m_file);
  Platform::SyncFileData(m_file);  // each flush is a commit to disk
}

bool CLogger::Open(const std::string& path) {
  std::lock_guard<std::mutex> fileGuard(m_fileLock);
  return OpenLocked(path);
}

bool CLogger::OpenLocked(const std::string& path) {
  if (m_file) CloseLocked();
  m_path = path;
  m_lineNumber = 1;
  std::error_code ec;  // a missing log directory is made; failure shows as a failed open
  const std::filesystem::path parent = Platform::Utf8Path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  m_file = Platform::OpenFile(path, "ab");
  if (!m_file) return false;
  Trim();
  return m_file != nullptr;
}

void CLogger::Close() {
  std::lock_guard<std::mutex> fileGuard(m_fileLock);
  CloseLocked();
}

void CLogger::CloseLocked() {
  for (;;) {
    size_t remaining = 0;
    std::unique_ptr<LogEntry> entry = TakeEntry(remaining);
    if (!entry) break;
    WriteEntry(*entry);
  }
  m_unflushed = 0;
  if (m_file) {
    Flush();
    fclose(m_file);
    m_file = nullptr;
  }
  m_path.clear();
}

void CLogger::Reset() {
  if (m_file) fclose(m_file);
  m_file = Platform::OpenFile(m_path, "wb");
  m_lineNumber = 1;
}

void CLogger::Trim() {
  Flush();
  const long size = FileSize(m_file);
  if (size >= 0 && size < kTrimAtOpen) return;
  fclose(m_file);
  m_file = Platform::OpenFile(m_path, "rb");
  if (!m_file) return Reset();
  // Keep the newest bytes, from the first line that starts within them.
  const long start = size > kTrimKeep ? size - kTrimKeep : 0;
  if (size < 0 || fseek(m_file, start, SEEK_SET) != 0) return Reset();
  long skipped = 0;
  int c;
  while ((c = fgetc(m_file)) != EOF) {
    ++skipped;
    if (c == '\n') break;
  }
  if (c == EOF) return Reset();
  const long keep = kTrimKeep - skipped;
  if (keep <= 0) return Reset();
  std::vector<char> tail(static_cast<size_t>(keep));
  const size_t got = fread(tail.data(), 1, tail.size(), m_file);
  fclose(m_file);
  m_file = Platform::OpenFile(m_path, "wb");
  if (!m_file) return;  // left closed; lines are still consumed
  fwrite(tail.data(), 1, got, m_file);
  fclose(m_file);
  m_lineNumber = 1;
  m_file = Platform::OpenFile(m_path, "ab");
}

bool CLogger::ResetLog() {
  std::lock_guard<std::mutex> fileGuard(m_fileLock);
  if (!m_file) return false;
  Flush();
  Reset();
  Flush();
  return true;
}

bool CLogger::EmailLog(const LogMailSettings& settings) {
  std::lock_guard<std::mutex> fileGuard(m_fileLock);
  if (!m_writtenSinceMail) return false;
  const std::string path = m_path;
  CloseLocked();

  using namespace Voxlet;
  const StringBuffer installKey = StringBuffer(Preferences::Path) + u"\\" + StringBuffer(Preferences::Install::Key);
  StringBuffer mailHost = Preferences::ReadStringValue(Preferences::File, installKey, u"SMTPServer", u"");
  if (mailHost.empty()) mailHost = UTF8to16(settings.mailHost);

  std::ifstream in(Platform::Utf8Path(path), std::ios::binary);
  if (in) {
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    if (text.size() > 16) {
      ReplaceAll(text, "\r\n.\r\n", "\r\n\r\n");
      const std::string body =
          "Below is a plain text log detailing the activities of the Ovanta Hardware Service.\r\n\r\n" + text;
      const HostInfo host = Helpers::LookUpHost("localhost");
      const std::string sender = host.name + " (" + (host.addresses.empty() ? "" : host.addresses.front()) + ")";
      const StringBuffer recipient = UTF8to16(settings.recipient);
      if (Helpers::EmailFileAsAttachment(mailHost, recipient, UTF8to16(sender), recipient, u"VoxletErrorLog",
                                         u"Ovanta Hardware Service Debugging Log", UTF8to16(body), u"", u"")) {
        m_writtenSinceMail = false;
        OpenLocked(path);
        Flush();
        Reset();
        Flush();
        return true;
      }
    }
  }
  OpenLocked(path);
  return false;
}

#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/CriticalSection.h"
#include "platform/LocalTime.h"
#include "platform/PrintfFormat.h"
#include "platform/Thread.h"
#include "platform/WaitEvent.h"

// Category flags of log lines and of the logger's mask.
enum LogFlags : uint16_t {
  kLogMilestone = 0x1,
  kLogPacket = 0x4,
  kLogRawData = 0x8,
  kLogDiagnostic = 0x10,
  kLogSourceLocation = 0x20,  // mask only: write the source file and line in each line
};

// Told after each batch of written lines (the receiver manager mails the log from here).
class LogChangedIntf {
 public:
  virtual ~LogChangedIntf() = default;
  virtual void OnLogChanged() = 0;
};

// One queued log call, formatted on the caller's thread.
struct LogEntry {
  std::string sourceFile;
  uint32_t sourceLine = 0;
  uint16_t flags = 0;
  std::string message;  // UTF-8
  Platform::SystemTime time;
};

// Where the e-mailed log goes; the defaults come from the service's configuration.
struct LogMailSettings {
  std::string mailHost;   // used when the "SMTPServer" preference is empty
  std::string recipient;  // the log recipient address
};

// The process-wide diagnostic log: callers format and queue; the writer thread writes lines
// to the file, keeps it small and tells the change listener after each batch.
class CLogger : public CThread {
 public:
  explicit CLogger(LogChangedIntf* listener);
  ~CLogger() override;

  // Opens (appending) and trims the file; false when it cannot be opened.
  bool Open(const std::string& path);
  // Writes every queued entry, flushes and closes the file.
  void Close();

  void Log(const char* sourceFile, uint32_t sourceLine, uint16_t flags, const char* format, ...)
      __attribute__((format(OVANTA_PRINTF_FORMAT, 5, 6)));
  void LogV(const char* sourceFile, uint32_t sourceLine, uint16_t flags, const char* format, va_list args);

  void SetMask(uint16_t mask) { m_mask.store(mask); }
  uint16_t GetMask() const { return m_mask.load(); }

  // Console mode: every written line is also written to standard error.
  void SetEcho(bool echo) { m_echo.store(echo); }

  // Mails the log when lines were written since the last mail. Runs on the writer thread
  // (from OnLogChanged). Returns true when the log was sent and emptied.
  bool EmailLog(const LogMailSettings& settings);

  // Empties the log file (flush, reopen it empty, line number 1). True when a file was open.
  bool ResetLog();

  std::string Path() {
    std::lock_guard<std::mutex> guard(m_fileLock);
    return m_path;
  }
  uint32_t LineNumber() {
    std::lock_guard<std::mutex> guard(m_fileLock);
    return m_lineNumber;
  }

  // Formats one line as written to the file (without the line end).
  static std::string FormatLine(uint32_t lineNumber, uint16_t mask, const LogEntry& entry);

 protected:
  unsigned Run() override;

 private:
  // Writes up to eight entries; answers how many were written and whether the queue ran empty.
  int WriteBatch(bool& drained);
  bool WriteEntry(const LogEntry& entry);
  void Flush();
  void Trim();
  void Reset();
  std::unique_ptr<LogEntry> TakeEntry(size_t& remaining);
  bool OpenLocked(const std::string& path);
  void CloseLocked();

  // The file and everything below up to the mask belong to whoever holds m_fileLock: the
  // writer thread, or Open/Close callers.
  std::mutex m_fileLock;
  FILE* m_file = nullptr;
  bool m_writtenSinceMail = false;
  std::string m_path;
  uint32_t m_lineNumber = 1;
  std::atomic<uint16_t> m_mask{0};
  std::atomic<bool> m_echo{false};
  std::deque<std::unique_ptr<LogEntry>> m_queue;
  CSCriticalSection m_queueLock;
  LogChangedIntf* m_listener;
  ReceiverService::CWaitEvent m_queueEvent;
  ReceiverService::CWaitEvent m_stopEvent;
  uint32_t m_unflushed = 0;
};

// The slot of the process-wide logger. A log call counts itself as a user of the slot for the
// length of the call, and the owner swaps the logger out only once no call uses it any more: a
// thread that logs while the service shuts down never reaches a logger being destroyed.
class LoggerSlot {
 public:
  // The logger for the length of one use; false when there is none.
  class Use {
   public:
    Use(Use&& other) noexcept : m_slot(std::exchange(other.m_slot, nullptr)), m_logger(other.m_logger) {}
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    Use& operator=(Use&&) = delete;
    ~Use() {
      if (m_slot) m_slot->Release();
    }
    explicit operator bool() const { return m_logger != nullptr; }
    CLogger* operator->() const { return m_logger; }
    CLogger* get() const { return m_logger; }

   private:
    friend class LoggerSlot;
    Use(const LoggerSlot* slot, CLogger* logger) : m_slot(slot), m_logger(logger) {}
    const LoggerSlot* m_slot;
    CLogger* m_logger;
  };

  Use Acquire() const;
  // Puts `logger` (or none) in the slot, waits until no call uses the previous one, and returns
  // the previous one: from then on its owner may destroy it.
  CLogger* exchange(CLogger* logger);
  void store(CLogger* logger) { exchange(logger); }
  LoggerSlot& operator=(CLogger* logger) {
    exchange(logger);
    return *this;
  }
  // The logger in the slot, for its owner only: others use Acquire.
  CLogger* load() const { return m_logger.load(); }

 private:
  void Release() const;

  std::atomic<CLogger*> m_logger{nullptr};
  mutable std::atomic<int> m_users{0};
  std::atomic<bool> m_swapping{false};
  mutable std::mutex m_swapLock;  // one exchange at a time, and its wait for the last user
  mutable std::condition_variable m_released;
};

// The process-wide logger; empty with "-nologging" and after a start command.
extern LoggerSlot g_pLogger;

// Logs through the global logger when there is one. The source is this file's name.
#define OV_LOG(flags, ...)                                                                                     \
  do {                                                                                                         \
    if (auto ovLogger__ = g_pLogger.Acquire()) ovLogger__->Log(__FILE_NAME__, __LINE__, (flags), __VA_ARGS__); \
  } while (0)

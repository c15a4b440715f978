#pragma once
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "connections/Windows/ProlificDriver.h"
#include "tests/connections/LinkBlocks.h"

// A USB-serial bridge's driver in memory: it keeps a line coding and the control-line words it
// was given, and its data requests behave as overlapped requests do (a read waits for bytes
// until they come or it is cancelled). It can echo what is written, fail every read (or answer
// as an unplugged bridge does), and send
// a Plug and Play identifier when the enumeration's DTR/RTS sequence ends at 1200 baud.
class FakeBridge : public CProlificDriver {
 public:
  BOOL ReadLineCoding(HANDLE, ProlificLine::Coding* coding) override {
    std::lock_guard<std::mutex> guard(m_lock);
    if (refuseLineCoding) return Fail(ERROR_NOT_SUPPORTED);
    *coding = m_coding;
    return TRUE;
  }
  BOOL WriteLineCoding(HANDLE, const ProlificLine::Coding& coding) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_coding = coding;
    return TRUE;
  }
  BOOL WriteControlLines(HANDLE, uint16_t word) override {
    std::lock_guard<std::mutex> guard(m_lock);
    const bool rtsRises = !(m_lastWord & ProlificLine::kRts) && (word & ProlificLine::kRts);
    m_words.push_back(word);
    m_lastWord = word;
    if (!pnpId.empty() && rtsRises && (word & ProlificLine::kDtr) && ProlificLine::Read(m_coding).baudRate == 1200)
      DeliverLocked(Bytes(pnpId.begin(), pnpId.end()));
    return TRUE;
  }
  BOOL Purge(HANDLE, DWORD flags) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_purges.push_back(flags);
    if (flags & PURGE_RXCLEAR) m_input.clear();
    return TRUE;
  }
  BOOL WriteData(HANDLE, const void* bytes, DWORD size, DWORD* written, OVERLAPPED*) override {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto* begin = static_cast<const uint8_t*>(bytes);
    m_written.insert(m_written.end(), begin, begin + size);
    if (echo) DeliverLocked(Bytes(begin, begin + size));
    *written = size;
    m_changed.notify_all();
    return TRUE;
  }
  BOOL ReadData(HANDLE, void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped) override {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_reads;
    m_changed.notify_all();
    if (failReads) return Fail(ERROR_IO_DEVICE);
    if (unplugged) return Fail(ERROR_DEVICE_NOT_CONNECTED);
    if (!m_input.empty()) {
      *got = TakeInput(buffer, size);
      return TRUE;
    }
    ::ResetEvent(overlapped->hEvent);
    m_pending = overlapped;
    m_pendingBuffer = buffer;
    m_pendingSize = size;
    return Fail(ERROR_IO_PENDING);
  }
  BOOL Result(HANDLE, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) override {
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_pending == overlapped && !wait) return Fail(ERROR_IO_INCOMPLETE);
    m_changed.wait(guard, [&] { return m_pending != overlapped; });
    const auto done = m_done.find(overlapped);
    if (done == m_done.end()) {
      *transferred = 0;  // a write: it ended at once
      return TRUE;
    }
    const Outcome outcome = done->second;
    m_done.erase(done);
    *transferred = outcome.bytes;
    return outcome.error == ERROR_SUCCESS ? TRUE : Fail(outcome.error);
  }
  void Cancel(HANDLE, OVERLAPPED* overlapped) override {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pending != overlapped) return;
    Complete(Outcome{0, ERROR_OPERATION_ABORTED});
  }

  // Bytes the device sends.
  void Deliver(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    DeliverLocked(bytes);
  }
  // Waits (at most 10 s) until the driver has seen `count` reads.
  bool WaitForReads(int count) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::seconds(10), [&] { return m_reads >= count; });
  }
  // Waits (at most 10 s) until `count` bytes were written.
  Bytes WaitForWritten(size_t count) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait_for(guard, std::chrono::seconds(10), [&] { return m_written.size() >= count; });
    return m_written;
  }
  int Reads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_reads;
  }
  ProlificLine::Coding Coding() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_coding;
  }
  std::vector<uint16_t> Words() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_words;
  }
  std::vector<DWORD> Purges() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_purges;
  }
  void ClearRecords() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_words.clear();
    m_purges.clear();
    m_written.clear();
  }

  // Set before the port opens.
  bool echo = false;
  bool failReads = false;
  bool unplugged = false;
  bool refuseLineCoding = false;
  std::string pnpId;

 private:
  struct Outcome {
    DWORD bytes;
    DWORD error;
  };
  static BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
  }
  DWORD TakeInput(void* buffer, DWORD size) {
    DWORD n = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (n < size && !m_input.empty()) {
      out[n++] = m_input.front();
      m_input.pop_front();
    }
    return n;
  }
  void Complete(Outcome outcome) {
    m_done[m_pending] = outcome;
    ::SetEvent(m_pending->hEvent);
    m_pending = nullptr;
    m_changed.notify_all();
  }
  void DeliverLocked(const Bytes& bytes) {
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
    if (m_pending) Complete(Outcome{TakeInput(m_pendingBuffer, m_pendingSize), ERROR_SUCCESS});
  }

  std::mutex m_lock;
  std::condition_variable m_changed;
  // 115200 baud, 1.5 stop bits, even parity, 7 bits and a spare byte the driver keeps.
  ProlificLine::Coding m_coding{0x00, 0xC2, 0x01, 0x00, 1, 2, 7, 0x5A};
  uint16_t m_lastWord = 0;
  std::vector<uint16_t> m_words;
  std::vector<DWORD> m_purges;
  Bytes m_written;
  std::deque<uint8_t> m_input;
  int m_reads = 0;
  OVERLAPPED* m_pending = nullptr;
  void* m_pendingBuffer = nullptr;
  DWORD m_pendingSize = 0;
  std::map<OVERLAPPED*, Outcome> m_done;
};

#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "connections/LineSettings.h"
#include "connections/TwoThreadIOQueue.h"
#include "platform/ErrorCodes.h"
#include "platform/Thread.h"
#include "text/StringBuffer.h"

// One open device served by one I/O thread, whatever the platform: the thread opens the
// device and reports the result, moves bytes between it and the queues (each platform's
// CThreadedPort), and runs the requests that must happen between reads (the Plug and Play
// identifier, the detection routine). A device that goes away (unplugged) makes the link
// lost: the consumer is woken and the thread stops reading.
class CLinkThread : public CThreadBase {
 public:
  CLinkThread() = default;

  // Starts the I/O thread and waits for its open result: none, a system error, or
  // Platform::Error (kAlreadyOpen on this name, kInUse while open on another).
  std::error_code OpenPort(const std::string& name);
  void ClosePort();
  bool IsOpen() const { return m_open.load(); }
  bool IsDeviceLost() const { return m_lost.load(); }
  const std::string& Name() const { return m_name; }

  CTwoThreadIOQueue& Queue() { return m_queue; }

  // Requests run on the I/O thread; the caller waits for the answer.
  Voxlet::StringBuffer RequestPnPId();
  bool RequestReset(bool pulse);

  // Line settings; false when the device has none or is closed.
  virtual bool SetLine(const LineSettings&) { return false; }
  virtual bool GetLine(LineSettings*) { return false; }
  // Applies and answers the next candidate of the detection cycle (false when the device has
  // no line settings).
  bool NextLine(LineSettings* settings);

 protected:
  // I/O-thread operations of a kind of device.
  virtual std::error_code DoOpen(const std::string& name) = 0;
  virtual Voxlet::StringBuffer DoPnPId() { return u"DOES NOT APPLY"; }
  virtual bool DoReset(bool) { return false; }

  // The start of the I/O thread's body: a pause for a device that has just appeared, the open
  // and its report. False when the thread has nothing more to do (stopped, or the open failed).
  bool OpenOnThread();
  // The end of the body, before the device closes: the link is no longer open.
  void MarkClosed() { m_open = false; }
  void MarkLost();

  // Set when a request waits; the I/O thread waits on them and answers with the calls below.
  CWaitEvent& SettingsRequest() { return m_settingsRequest; }
  CWaitEvent& ResetRequest() { return m_resetRequest; }
  void AnswerSettingsRequest();
  void AnswerResetRequest();

  // The detection routine on this link's line settings (after the port's purge; on the I/O
  // thread, whose stop ends its pauses): the port gives its RTS line, writes and reads.
  bool Detect(bool pulse, int settleMs, std::function<void(bool raised)> setRts,
              std::function<bool(std::span<const uint8_t> bytes, int timeoutMs)> write,
              std::function<std::vector<uint8_t>(size_t count, int timeoutMs)> read);

 private:
  // Waits for the answer to a request just made, or for the thread to end.
  bool WaitForAnswer();

  std::string m_name;
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_lost{false};
  CTwoThreadIOQueue m_queue;

  CWaitEvent m_opened;
  std::mutex m_openResultLock;
  std::error_code m_openResult;  // under m_openResultLock

  std::mutex m_requestLock;  // one request at a time
  CWaitEvent m_settingsRequest;
  CWaitEvent m_resetRequest;
  CWaitEvent m_requestDone;
  std::atomic<bool> m_resetPulse{false};
  std::atomic<bool> m_resetResult{false};
  std::mutex m_pnpLock;
  Voxlet::StringBuffer m_pnpId;  // under m_pnpLock

  // The detection cycle (the I/O thread's, and a test's while no thread runs).
  bool m_candidateStarted = false;  // the first NextLine gives the first candidate
  LineSettings m_lastCandidate;
};

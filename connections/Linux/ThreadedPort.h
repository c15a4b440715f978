#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "client/StringBuffer.h"
#include "connections/LineSettings.h"
#include "connections/TwoThreadIOQueue.h"
#include "platform/Thread.h"

// One open device served by one I/O thread: the thread opens the device, moves bytes between
// it and the queues, and runs the requests that must happen between reads (the Plug and Play
// identifier, the detection routine). A device that goes away (unplugged) makes the link
// lost: the consumer is woken and the thread stops reading.
class CThreadedPort : public CThreadBase {
 public:
  CThreadedPort() = default;
  ~CThreadedPort() override;

  // Starts the I/O thread and waits for its open result (LinkResult codes or an errno).
  uint32_t OpenPort(const std::string& name);
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
  // Applies and answers the next candidate of the detection cycle.
  virtual bool NextLine(LineSettings*) { return false; }

 protected:
  enum class ReadStatus { kOk, kFailed, kLost };

  void Run() override;

  // I/O-thread operations of a kind of device.
  virtual uint32_t DoOpen(const std::string& name) = 0;
  virtual void DoClose() = 0;
  virtual int Fd() const = 0;
  virtual ReadStatus DoRead() = 0;
  // Writes one packet's bytes, whole or in part; answers bytes written, 0 when the device
  // takes nothing now, -1 on a write error, -2 when the device is gone.
  virtual ssize_t DoWrite(const CSBIOPacket& packet, size_t offset) = 0;
  // The bytes of a packet the device is given (its payload, or all stored bytes).
  virtual size_t WriteLength(const CSBIOPacket& packet) const = 0;
  virtual Voxlet::StringBuffer DoPnPId() { return u"DOES NOT APPLY"; }
  virtual bool DoReset(bool) { return false; }
  // Called after each failed read.
  virtual void OnReadFailed() {}
  // Serial links drop packets whose flag is set; the HID link sends them as feature reports.
  virtual bool DropsFlagged() const { return true; }

  void MarkLost();
  // Waits for the device to be readable; false on time-out or stop.
  bool WaitReadable(int timeoutMs);

  // Guards the descriptor against other threads' line-setting calls while it closes.
  std::mutex m_portLock;

 private:
  // Starts or continues writes; true while a write waits for the device.
  bool PumpWrites();

  std::string m_name;
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_lost{false};
  CTwoThreadIOQueue m_queue;

  CWaitEvent m_opened;
  std::atomic<uint32_t> m_openResult{0};

  std::mutex m_requestLock;  // one request at a time
  CWaitEvent m_settingsRequest;
  CWaitEvent m_resetRequest;
  CWaitEvent m_requestDone;
  std::atomic<bool> m_resetPulse{false};
  std::atomic<bool> m_resetResult{false};
  std::mutex m_pnpLock;
  Voxlet::StringBuffer m_pnpId;  // under m_pnpLock

  // The packet being written (I/O thread only).
  std::unique_ptr<CSBIOPacket> m_writing;
  size_t m_writeOffset = 0;
};

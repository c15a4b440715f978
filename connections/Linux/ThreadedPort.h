#pragma once
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

#include "connections/LinkThread.h"

// The Linux link thread: the device is a descriptor, and the thread polls it together with its
// events, reading what is there and writing while the device takes bytes.
class CThreadedPort : public CLinkThread {
 public:
  CThreadedPort() = default;
  ~CThreadedPort() override;

 protected:
  enum class ReadStatus { kOk, kFailed, kLost };

  void Run() override;

  // I/O-thread operations of a kind of device.
  virtual void DoClose() = 0;
  virtual int Fd() const = 0;
  virtual ReadStatus DoRead() = 0;
  // Writes one packet's bytes, whole or in part; answers bytes written, 0 when the device
  // takes nothing now, -1 on a write error, -2 when the device is gone.
  virtual ssize_t DoWrite(const CSBIOPacket& packet, size_t offset) = 0;
  // The bytes of a packet the device is given (its payload, or all stored bytes).
  virtual size_t WriteLength(const CSBIOPacket& packet) const = 0;
  // Called after each failed read.
  virtual void OnReadFailed() {}
  // Serial links drop packets whose flag is set; the HID link sends them as feature reports.
  virtual bool DropsFlagged() const { return true; }

  // Waits for the device to be readable; false on time-out or stop.
  bool WaitReadable(int timeoutMs);

  // Guards the descriptor against other threads' line-setting calls while it closes.
  std::mutex m_portLock;

 private:
  // Starts or continues writes; true while a write waits for the device.
  bool PumpWrites();

  // The packet being written (I/O thread only).
  std::unique_ptr<CSBIOPacket> m_writing;
  size_t m_writeOffset = 0;
};

#pragma once
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "connections/LinkThread.h"

// The Linux link thread: the device is a descriptor, and the thread polls it together with its
// events, reading what is there and writing while the device takes bytes.
class CThreadedPort : public CLinkThread {
 public:
  CThreadedPort() = default;
  ~CThreadedPort() override;

 protected:
  void Run() override;

  // Whether a read's or write's error says that the device has gone (unplugged, hung up).
  static bool DeviceGone(const std::error_code& error);

  // I/O-thread operations of a kind of device; their errors are errno's, and a device that
  // hung up answers Platform::Error::kNotPresent.
  virtual void DoClose() = 0;
  virtual int Fd() const = 0;
  // Reads what the device has (nothing, when it has nothing now).
  virtual std::error_code DoRead() = 0;
  // Writes one packet's bytes from `offset`, whole or in part; *written is what the device
  // took (0 when it takes nothing now).
  virtual std::error_code DoWrite(const CSBIOPacket& packet, size_t offset, size_t* written) = 0;
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

#pragma once
#include <cstdint>
#include <memory>

#include "connections/LinkResult.h"
#include "connections/SBConnectionInfo.h"
#include "connections/SBIOPacket.h"
#include "platform/WaitEvent.h"
#include "text/StringBuffer.h"

// The byte link to a receiver, whatever kind it is.
class ISBConnection {
 public:
  explicit ISBConnection(const SBConnectionInfo& info) : m_info(info) {}
  virtual ~ISBConnection() = default;

  // 0 success, 2 not present, 3 in use, 110 already open; other values are system errors
  // (LinkResult: Win32's numbers, and on Linux the errno values that mean nothing else there).
  virtual uint32_t Open() = 0;
  virtual bool IsOpen() = 0;
  virtual void Close() = 0;
  // The next received block, or null; the caller owns it.
  virtual std::unique_ptr<CSBIOPacket> GetReceivedPacket() = 0;
  // Set while received blocks wait (and when the device is lost).
  virtual CWaitEvent* GetReceiveEvent() = 0;
  // Queues a block to write; the link owns it from then on.
  virtual void Send(std::unique_ptr<CSBIOPacket> packet) = 0;
  virtual bool WaitForSendsDone() = 0;
  virtual Voxlet::StringBuffer GetPnPId() = 0;
  virtual bool SetCommParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) = 0;
  virtual bool GetCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) = 0;
  virtual bool GetNextCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) = 0;
  // Runs the receiver detection routine; true when a probe was answered.
  virtual bool ResetDevice(uint32_t pulse) = 0;
  // The device went away (unplugged): nothing more will be read.
  virtual bool IsDeviceLost() = 0;

  const SBConnectionInfo& Info() const { return m_info; }

 protected:
  SBConnectionInfo m_info;
};

class CThreadedPort;

// The link of every kind: holds the port of the connection's kind and forwards to it.
class CSBConnection : public ISBConnection {
 public:
  explicit CSBConnection(const SBConnectionInfo& info);
  ~CSBConnection() override;

  uint32_t Open() override;
  bool IsOpen() override;
  void Close() override;
  std::unique_ptr<CSBIOPacket> GetReceivedPacket() override;
  CWaitEvent* GetReceiveEvent() override;
  void Send(std::unique_ptr<CSBIOPacket> packet) override;
  bool WaitForSendsDone() override;
  Voxlet::StringBuffer GetPnPId() override;
  bool SetCommParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) override;
  bool GetCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) override;
  bool GetNextCommParams(uint32_t* baudRate, uint8_t* byteSize, uint8_t* parity, uint8_t* stopBits) override;
  bool ResetDevice(uint32_t pulse) override;
  bool IsDeviceLost() override;

 private:
  bool IsSerial() const;

  std::unique_ptr<CThreadedPort> m_port;  // null for kinds without a link here
};

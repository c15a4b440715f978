#pragma once
#include <vector>

#include "connections/HidReports.h"
#include "connections/Linux/ThreadedPort.h"

// A receiver on a hidraw node. Reports go both ways with the report id as their first byte
// (0 for a device without report ids); only reports of exactly the device's lengths pass.
class CThreadedHIDPort : public CThreadedPort {
 public:
  CThreadedHIDPort() = default;
  ~CThreadedHIDPort() override;

  HidReportLengths Lengths() const { return m_lengths; }

 protected:
  std::error_code DoOpen(const std::string& name) override;
  void DoClose() override;
  int Fd() const override { return m_fd; }
  std::error_code DoRead() override;
  std::error_code DoWrite(const CSBIOPacket& packet, size_t offset, size_t* written) override;
  size_t WriteLength(const CSBIOPacket& packet) const override { return packet.StoredLength(); }
  bool DropsFlagged() const override { return false; }

  // Device facts read at open; a test device supplies its own.
  virtual bool ReadDeviceInfo(HidReportLengths* lengths, uint16_t* productId);

  int m_fd = -1;

 private:
  HidReportLengths m_lengths;
  uint16_t m_productId = 0;
  std::vector<uint8_t> m_report;
};

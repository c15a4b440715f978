#pragma once
#include <windows.h>

#include <vector>

#include "connections/HidReports.h"
#include "connections/Windows/HidDll.h"
#include "connections/Windows/ThreadedPort.h"

// A receiver on a HID device path, through the HID class driver: whole reports go both ways
// with their report id first (HidReports.h), read and written as overlapped file I/O; a
// flagged packet is a feature report (HidD_SetFeature). The report lengths and the product id
// come from the device at open.
class CThreadedHIDPort : public CThreadedPort {
 public:
  explicit CThreadedHIDPort(CHidDll& hid = CHidDll::Current()) : m_hid(hid) {}
  ~CThreadedHIDPort() override;

  // The device's report lengths (from the open).
  HidReportLengths Lengths() const { return m_lengths; }

 protected:
  std::error_code DoOpen(const std::string& name) override;
  void DoClose() override;
  DWORD ReadSize() const override { return m_lengths.input; }
  void TakeRead(const uint8_t* bytes, DWORD got) override;
  std::span<const uint8_t> WriteBytes(const CSBIOPacket& packet) override;

 private:
  // The capabilities and attributes of the open device; false when it has none.
  bool ReadDeviceInfo(HANDLE handle);

  CHidDll& m_hid;
  HidReportLengths m_lengths;
  uint16_t m_productId = 0;
};

#include "connections/Windows/ThreadedHIDPort.h"

#include "platform/Windows/WideText.h"
#include "platform/Windows/Win32Error.h"

CThreadedHIDPort::~CThreadedHIDPort() { ClosePort(); }

bool CThreadedHIDPort::ReadDeviceInfo(HANDLE handle) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!m_hid.GetPreparsedData(handle, &preparsed)) return false;
  HIDP_CAPS caps{};
  const NTSTATUS status = m_hid.GetCaps(preparsed, &caps);
  m_hid.FreePreparsedData(preparsed);
  if (status != HIDP_STATUS_SUCCESS) return false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (!m_hid.GetAttributes(handle, &attributes)) return false;
  // The HID class's lengths hold the report id byte, as the stored reports do.
  m_lengths =
      HidReportLengths{caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength, false};
  m_productId = attributes.ProductID;
  return true;
}

std::error_code CThreadedHIDPort::DoOpen(const std::string& name) {
  if (name.empty()) return Platform::Error::kNotPresent;
  const HANDLE handle =
      ::CreateFileW(Platform::Widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Platform::LastWin32Error();
  // A device without input reports has nothing for a receiver's link to read.
  if (!ReadDeviceInfo(handle) || m_lengths.input == 0) {
    ::CloseHandle(handle);
    return Platform::Error::kNotALinkDevice;
  }
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    m_handle = handle;
  }
  // Whatever the device queued before the open is stale.
  m_hid.FlushQueue(m_handle);
  return {};
}

void CThreadedHIDPort::DoClose() {
  if (m_handle == INVALID_HANDLE_VALUE) return;
  ::CloseHandle(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

void CThreadedHIDPort::TakeRead(const uint8_t* bytes, DWORD got) {
  // Stored raw: the report id stays the first stored byte, the payload is the report's body.
  // Reads of another length are dropped.
  const size_t keep = HidReports::ReceivedLength(got, m_lengths, m_productId);
  if (keep > 0) Queue().PushReceived(std::make_unique<CSBIOPacket>(bytes, static_cast<uint32_t>(keep), true));
}

std::span<const uint8_t> CThreadedHIDPort::WriteBytes(const CSBIOPacket& packet) {
  // A packet of another length than its report's fails without being written.
  if (HidReports::CheckOutgoing(packet, m_lengths) != 0) return {};
  if (packet.m_flag) {
    std::vector<uint8_t> feature(packet.Data(), packet.Data() + packet.StoredLength());
    m_hid.SetFeature(m_handle, feature.data(), static_cast<ULONG>(feature.size()));
    return {};
  }
  // The output report as stored, report id first (the loop copies it into its write buffer).
  return {packet.Data(), packet.StoredLength()};
}

#include "connections/Linux/ThreadedHIDPort.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemError.h"

CThreadedHIDPort::~CThreadedHIDPort() { ClosePort(); }

bool CThreadedHIDPort::ReadDeviceInfo(HidReportLengths* lengths, uint16_t* productId) {
  int size = 0;
  if (ioctl(m_fd, HIDIOCGRDESCSIZE, &size) != 0 || size <= 0) return false;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<uint32_t>(size);
  if (ioctl(m_fd, HIDIOCGRDESC, &descriptor) != 0) return false;
  *lengths = ParseReportDescriptor(descriptor.value, descriptor.size);
  hidraw_devinfo info{};
  if (ioctl(m_fd, HIDIOCGRAWINFO, &info) != 0) return false;
  *productId = static_cast<uint16_t>(info.product);
  return true;
}

std::error_code CThreadedHIDPort::DoOpen(const std::string& name) {
  if (name.empty()) return Platform::Error::kNotPresent;
  const int fd = open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Platform::ErrnoError(errno);
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    m_fd = fd;
  }
  // A node that tells no report lengths is no HID device of a receiver.
  if (!ReadDeviceInfo(&m_lengths, &m_productId)) {
    std::lock_guard<std::mutex> guard(m_portLock);
    DoClose();
    return Platform::Error::kNotALinkDevice;
  }
  // Whatever the device queued before the open is stale.
  uint8_t stale[256];
  while (read(m_fd, stale, sizeof stale) > 0) {
  }
  return {};
}

void CThreadedHIDPort::DoClose() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

std::error_code CThreadedHIDPort::DoRead() {
  // Windows-style reports: the report id first (0 for a device without ids), then the body.
  const size_t length = m_lengths.input;
  if (length == 0) return Platform::Error::kNotALinkDevice;
  m_report.resize(length);
  const size_t offset = m_lengths.numbered ? 0 : 1;
  m_report[0] = 0;
  const ssize_t n = read(m_fd, m_report.data() + offset, length - offset);
  if (n < 0) return errno == EAGAIN || errno == EINTR ? std::error_code() : Platform::ErrnoError(errno);
  if (n == 0) return Platform::Error::kNotPresent;  // gone
  // Reports of another length are dropped.
  const size_t keep = HidReports::ReceivedLength(static_cast<size_t>(n) + offset, m_lengths, m_productId);
  if (keep > 0) Queue().PushReceived(std::make_unique<CSBIOPacket>(m_report.data(), static_cast<uint32_t>(keep), true));
  return {};
}

std::error_code CThreadedHIDPort::DoWrite(const CSBIOPacket& packet, size_t, size_t* written) {
  const uint32_t length = packet.StoredLength();
  *written = 0;
  // Only reports of the device's lengths go.
  if (HidReports::CheckOutgoing(packet, m_lengths) != 0) return std::make_error_code(std::errc::invalid_argument);
  if (packet.m_flag) {
    std::vector<uint8_t> report(packet.Data(), packet.Data() + length);
    if (ioctl(m_fd, HIDIOCSFEATURE(length), report.data()) < 0) return Platform::ErrnoError(errno);
    *written = length;
    return {};
  }
  // hidraw takes the report id byte first, as the stored packet has it; a device without
  // report ids takes 0 there. A report goes whole or not at all.
  if (write(m_fd, packet.Data(), length) >= 0) {
    *written = length;
    return {};
  }
  return errno == EAGAIN || errno == EINTR ? std::error_code() : Platform::ErrnoError(errno);
}

#include "connections/Linux/ThreadedCOMPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "connections/DetectionProbes.h"
#include "connections/Linux/TtyLine.h"
#include "connections/SerialPnPId.h"
#include "platform/SystemError.h"

namespace {

// What a read or write on the tty that failed left in errno: nothing at all when the tty
// merely has no bytes, or takes none, now.
std::error_code TtyError(int error) {
  if (error == EAGAIN || error == EINTR) return {};
  return Platform::ErrnoError(error);
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

CThreadedCOMPort::~CThreadedCOMPort() { ClosePort(); }

std::error_code CThreadedCOMPort::DoOpen(const std::string& name) {
  if (name.empty()) return Platform::Error::kNotPresent;
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Platform::ErrnoError(errno);
  // A file that is no tty has no serial line: it is no receiver's port.
  if (!isatty(fd)) {
    close(fd);
    return Platform::Error::kNotALinkDevice;
  }
  // Another program holding the tty (its lock, or exclusive mode) makes it "in use".
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Platform::Error::kInUse : Platform::ErrnoError(error);
  }
  ioctl(fd, TIOCEXCL);
  m_savedValid = tcgetattr(fd, &m_saved) == 0;
  termios tio = m_savedValid ? m_saved : termios{};
  TtyLine::Apply(LineSettings{9600, 8, 0, 0}, &tio);
  tcsetattr(fd, TCSANOW, &tio);
  tcflush(fd, TCIOFLUSH);
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    m_fd = fd;
  }
  // Opening a tty raises both lines; the receiver's line wants DTR down and RTS up.
  SetModemLines(TIOCM_DTR, false);
  SetModemLines(TIOCM_RTS, true);
  return {};
}

void CThreadedCOMPort::DoClose() {
  if (m_fd < 0) return;
  // Unread input goes. What was written gets a moment to leave: the receiver's last packet (its
  // network stop on the way out) must reach it even when the other end has not taken it yet.
  // A device that is gone takes nothing more: its output goes too, and the close does not wait.
  tcflush(m_fd, TCIFLUSH);
  if (IsDeviceLost()) {
    tcflush(m_fd, TCOFLUSH);
    SetClosingWait(TtyLine::kNoClosingWait);
  } else {
    SetClosingWait(kClosingWaitCs);
  }
  if (m_savedValid) tcsetattr(m_fd, TCSANOW, &m_saved);
  ioctl(m_fd, TIOCNXCL);
  close(m_fd);
  m_fd = -1;
  m_savedValid = false;
}

std::error_code CThreadedCOMPort::DoRead() {
  const ssize_t n = read(m_fd, m_readBuffer, sizeof m_readBuffer);
  if (n > 0) {
    Queue().PushReceived(std::make_unique<CSBIOPacket>(m_readBuffer, static_cast<uint32_t>(n), false));
    return {};
  }
  if (n == 0) return Platform::Error::kNotPresent;  // hung up
  return TtyError(errno);
}

std::error_code CThreadedCOMPort::DoWrite(const CSBIOPacket& packet, size_t offset, size_t* written) {
  const ssize_t n = write(m_fd, packet.Payload() + offset, packet.PayloadLength() - offset);
  *written = n > 0 ? static_cast<size_t>(n) : 0;
  return n >= 0 ? std::error_code() : TtyError(errno);
}

bool CThreadedCOMPort::SetLine(const LineSettings& settings) {
  std::lock_guard<std::mutex> guard(m_portLock);
  if (m_fd < 0) return false;
  termios tio{};
  if (tcgetattr(m_fd, &tio) != 0 || !TtyLine::Apply(settings, &tio)) return false;
  return tcsetattr(m_fd, TCSANOW, &tio) == 0;
}

bool CThreadedCOMPort::GetLine(LineSettings* settings) {
  std::lock_guard<std::mutex> guard(m_portLock);
  termios tio{};
  if (m_fd < 0 || tcgetattr(m_fd, &tio) != 0) return false;
  *settings = TtyLine::Read(tio);
  return true;
}

void CThreadedCOMPort::SetModemLines(int lines, bool on) {
  if (m_fd >= 0) ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

void CThreadedCOMPort::SetClosingWait(unsigned short centiseconds) {
  if (m_fd >= 0) TtyLine::SetClosingWait(m_fd, centiseconds);
}

void CThreadedCOMPort::Purge() {
  if (m_fd >= 0) tcflush(m_fd, TCIOFLUSH);
}

bool CThreadedCOMPort::WriteAll(const uint8_t* bytes, size_t length, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(m_fd, bytes + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_stopEvent),
                                            Platform::WaitHandle::Descriptor(m_fd, POLLOUT)};
    if (Platform::WaitForAny(handles, static_cast<int>(left.count())) != 1) return false;
  }
  return true;
}

std::vector<uint8_t> CThreadedCOMPort::ReadFor(size_t count, int timeoutMs) {
  std::vector<uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (bytes.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(static_cast<int>(left.count()))) break;
    uint8_t chunk[64];
    const size_t want = std::min(sizeof chunk, count - bytes.size());
    const ssize_t n = read(m_fd, chunk, want);
    if (n > 0) {
      bytes.insert(bytes.end(), chunk, chunk + n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (n == 0 || DeviceGone(Platform::ErrnoError(errno))) MarkLost();
      break;
    }
  }
  return bytes;
}

bool CThreadedCOMPort::DoReset(bool pulse) {
  Purge();
  return Detect(
      pulse, CandidateSettleMs(), [this](bool raised) { SetModemLines(TIOCM_RTS, raised); },
      [this](std::span<const uint8_t> bytes, int timeoutMs) { return WriteAll(bytes.data(), bytes.size(), timeoutMs); },
      [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); });
}

Voxlet::StringBuffer CThreadedCOMPort::DoPnPId() {
  // The serial Plug and Play enumeration: at 1200 7N1 the device answers the DTR/RTS
  // sequence with its identifier, "(...)" in 7-bit form or 0x08 ... 0x09 in 6-bit form.
  termios saved{};
  const bool haveSaved = tcgetattr(m_fd, &saved) == 0;
  PnPSteps steps;
  steps.setDtr = [this](bool raised) { SetModemLines(TIOCM_DTR, raised); };
  steps.setRts = [this](bool raised) { SetModemLines(TIOCM_RTS, raised); };
  steps.purge = [this] { Purge(); };
  steps.pause = Pause;
  steps.enterPnPLine = [this] { SetLine(LineSettings{1200, 7, 0, 0}); };
  steps.read = [this](size_t count, int timeoutMs) { return ReadFor(count, timeoutMs); };
  const Voxlet::StringBuffer id = ReadPnPId(steps);
  if (haveSaved) {
    std::lock_guard<std::mutex> guard(m_portLock);
    tcsetattr(m_fd, TCSANOW, &saved);
  }
  return id;
}

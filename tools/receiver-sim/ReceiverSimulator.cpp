#include "ReceiverSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "SimFraming.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }

void PutWord(Bytes& b, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

uint32_t BaudOf(speed_t speed) {
  switch (speed) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

}  // namespace

CReceiverSimulator::CReceiverSimulator(SimulatorConfig config) : m_config(config), m_loginFlags(config.loginFlags) {}

CReceiverSimulator::~CReceiverSimulator() { Stop(); }

bool CReceiverSimulator::Start() {
  m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return false;
  const char* name = ptsname(m_master);
  if (!name) return false;
  m_slavePath = name;
  m_slaveKeep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slaveKeep < 0) return false;
  termios tio{};
  tcgetattr(m_slaveKeep, &tio);
  cfmakeraw(&tio);
  tcsetattr(m_slaveKeep, TCSANOW, &tio);
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  if (pipe2(m_wake, O_CLOEXEC) != 0) return false;
  m_running = true;
  m_thread = std::thread([this] { Run(); });
  return true;
}

void CReceiverSimulator::Stop() {
  if (m_running.exchange(false)) {
    if (m_wake[1] >= 0) {
      const char c = 0;
      (void)!write(m_wake[1], &c, 1);
    }
    m_changed.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  for (std::thread& t : m_timers)
    if (t.joinable()) t.join();
  m_timers.clear();
  std::lock_guard<std::mutex> guard(m_writeLock);
  for (int* fd : {&m_master, &m_slaveKeep, &m_wake[0], &m_wake[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void CReceiverSimulator::Unplug() { Stop(); }

void CReceiverSimulator::Run() {
  uint8_t buffer[512];
  while (m_running.load()) {
    pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    const ssize_t n = read(m_master, buffer, sizeof buffer);
    if (n > 0) HandleBytes(buffer, static_cast<size_t>(n));
  }
}

uint32_t CReceiverSimulator::LineBaud() {
  termios tio{};
  std::lock_guard<std::mutex> guard(m_writeLock);
  if (m_master < 0 || tcgetattr(m_master, &tio) != 0) return 0;
  return BaudOf(cfgetospeed(&tio));
}

bool CReceiverSimulator::AnswerProbe(const Bytes& raw) {
  static const Bytes k9600First = {0x15, 0x2A, 0x16, 0x02, 0x00, 0x00};
  static const Bytes kShort = {0x18, 0x16, 0x02, 0x00, 0x00, 0x00};
  static const Bytes k19200 = {0xE1, 0x00, 0x00, 0xE1};
  const bool probe = Contains(raw, k9600First) || Contains(raw, kShort) || Contains(raw, k19200);
  if (!probe) return false;
  termios tio{};
  tcgetattr(m_master, &tio);
  const uint32_t baud = BaudOf(cfgetospeed(&tio));
  // A pty keeps no parity bit, so the stop bits tell 8O2 from 8N1.
  const bool oddTwo = (tio.c_cflag & CSTOPB) != 0;
  const bool plain = !oddTwo;
  const bool lineMatches =
      m_config.probeBaud != 0 && baud == m_config.probeBaud && (m_config.probeOddParityTwoStop ? oddTwo : plain);
  if (!lineMatches) return true;  // garbage at the wrong setting: no answer
  if (Contains(raw, k9600First))
    Write({0x15, 0x2A, 0x16, 0x02, 0x01});
  else if (Contains(raw, kShort))
    Write({0x16, 0x02, 0x01});
  else
    Write({0xD2, 0x01});
  return true;
}

void CReceiverSimulator::HandleBytes(const uint8_t* bytes, size_t count) {
  const Bytes raw(bytes, bytes + count);
  if (AnswerProbe(raw)) return;
  std::vector<Bytes> packets;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (uint8_t b : raw) {
      if (b != 0) {
        m_pending.push_back(b);
        continue;
      }
      std::optional<Bytes> packet = SimFraming::Unframe(m_pending);
      m_pending.clear();
      if (!packet) {
        ++m_badFrames;
        continue;
      }
      m_received.push_back(*packet);
      packets.push_back(*packet);
    }
  }
  m_changed.notify_all();
  for (const Bytes& p : packets) HandlePacket(p);
}

void CReceiverSimulator::HandlePacket(const Bytes& p) {
  if (silent.load()) return;
  const uint16_t address = static_cast<uint16_t>(p[0] << 8 | p[1]);
  const uint8_t command = p[2];
  const Bytes payload(p.begin() + 3, p.end());
  if (command & 0x80) return;  // the service's acknowledgement of a clicker packet
  if (address != 0) {
    HandleToClicker(address, command, payload);
    return;
  }
  if (dropAnswers.load()) return;
  switch (command) {
    case 0x00: {
      Bytes answer = {0,
                      0,
                      0x00,
                      m_config.firmware[0],
                      m_config.firmware[1],
                      m_config.firmware[2],
                      Hi(m_config.firmwareChecksum),
                      Lo(m_config.firmwareChecksum)};
      SendPacket(answer);
      break;
    }
    case 0x04: {
      const bool up = !payload.empty() && payload[0] != 0;
      {
        std::lock_guard<std::mutex> guard(m_lock);
        m_networkUp = up;
      }
      SendPacket({0, 0, 0x04, static_cast<uint8_t>(up ? 1 : 0)});
      SendStatus(up && !mismatchStatus.load() ? 2 : 0);
      break;
    }
    case 0x05: {
      Bytes answer = {0, 0, 0x05};
      for (uint8_t b : payload) answer.push_back(b);
      {
        std::lock_guard<std::mutex> guard(m_lock);
        m_className.assign(payload.begin(), payload.end());
      }
      SendPacket(answer);
      break;
    }
    case 0x06:
      if (payload.empty()) {
        SendPacket({0, 0, 0x06, m_loginFlags.load()});
      } else {
        m_loginFlags = payload[0];
        SendPacket({0, 0, 0x06});
      }
      break;
    case 0x0D:
      if (!payload.empty()) {
        {
          std::lock_guard<std::mutex> guard(m_lock);
          m_channel = payload[0];
        }
        SendPacket({0, 0, 0x0D, payload[0]});
      }
      break;
    case 0x11: {
      const uint16_t mask = payload.size() >= 2 ? static_cast<uint16_t>(payload[0] << 8 | payload[1]) : 0;
      uint16_t pans = 0;
      Bytes entries;
      for (int i = 0; i < 16; ++i) {
        if (!(mask & (1u << i))) continue;
        if (m_config.panIds[static_cast<size_t>(i)]) pans |= static_cast<uint16_t>(1u << i);
        entries.push_back(Hi(m_config.panIds[static_cast<size_t>(i)]));
        entries.push_back(Lo(m_config.panIds[static_cast<size_t>(i)]));
        entries.push_back(m_config.energies[static_cast<size_t>(i)]);
      }
      Bytes answer = {0, 0, 0x11, Hi(mask), Lo(mask), Hi(pans), Lo(pans)};
      for (uint8_t b : entries) answer.push_back(b);
      SendPacket(answer);
      break;
    }
    case 0x16:
      if (!payload.empty() && payload[0] == 0) {
        Bytes answer = {0, 0, 0x16, 0x00};
        PutWord(answer, m_config.macHigh);
        PutWord(answer, m_config.macLow);
        SendPacket(answer);
      }
      break;
    case 0x17: {
      const uint16_t mask = payload.size() >= 2 ? static_cast<uint16_t>(payload[0] << 8 | payload[1]) : 0;
      SendPacket({0, 0, 0x17});
      SendStatus(1);
      FinishScanLater(mask);
      break;
    }
    case 0x2A:
      if (m_config.productCode < 0)
        SendPacket({0, 0, 0xFF, 0x2A});
      else
        SendPacket({0, 0, 0x2A, static_cast<uint8_t>(m_config.productCode)});
      break;
    default:
      break;
  }
}

void CReceiverSimulator::HandleToClicker(uint16_t address, uint8_t command, const Bytes& payload) {
  for (int i = 0; i < m_config.clickers; ++i) {
    const uint16_t clicker = ClickerAddress(i);
    if (address != clicker && address != 0xFFFF) continue;
    switch (command) {
      case 0x08:
        if (!payload.empty()) SendPacket({Hi(clicker), Lo(clicker), 0x14, static_cast<uint8_t>(payload[0] & 1)});
        break;
      case 0x09:
      case 0x27:
      case 0x0A:
      case 0x0C:
        if (address == clicker) SendPacket({Hi(clicker), Lo(clicker), command});
        break;
      default:
        break;
    }
  }
}

void CReceiverSimulator::FinishScanLater(uint16_t) {
  m_timers.emplace_back([this] {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_changed.wait_for(lock, std::chrono::milliseconds(m_config.scanMs), [this] { return !m_running.load(); }))
      return;
    lock.unlock();
    SendStatus(0);
  });
}

void CReceiverSimulator::SendStatus(uint8_t status) { SendPacket({0, 0, 0x01, status}); }

void CReceiverSimulator::SendPacket(const Bytes& packet) {
  Bytes frame = SimFraming::Frame(packet);
  if (corruptChecksums.load()) {
    // Flip one bit of the checksum position, keeping the frame free of inner zeros.
    uint8_t& b = frame[frame.size() - 2];
    b = static_cast<uint8_t>(b ^ 0x40) ? static_cast<uint8_t>(b ^ 0x40) : static_cast<uint8_t>(b ^ 0x20);
  }
  Write(frame);
}

void CReceiverSimulator::Write(const Bytes& bytes) {
  std::lock_guard<std::mutex> guard(m_writeLock);
  if (m_master < 0) return;
  const size_t step = splitFrames.load() ? 1 : bytes.size();
  for (size_t at = 0; at < bytes.size(); at += step) {
    size_t done = 0;
    const size_t length = std::min(step, bytes.size() - at);
    while (done < length) {
      const ssize_t n = write(m_master, bytes.data() + at + done, length - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd out = {m_master, POLLOUT, 0};
        if (poll(&out, 1, 1000) <= 0) return;
      }
    }
  }
}

std::vector<Bytes> CReceiverSimulator::Received() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_received;
}

bool CReceiverSimulator::WaitFor(const std::function<bool(const std::vector<Bytes>&)>& match, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return match(m_received); });
}

int CReceiverSimulator::BadFrames() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_badFrames;
}

void CReceiverSimulator::JoinAll() {
  for (int i = 0; i < m_config.clickers; ++i) {
    const uint16_t a = ClickerAddress(i);
    Bytes join = {Hi(a), Lo(a), 0x07};
    PutWord(join, m_config.macHigh);
    PutWord(join, m_config.macLow + static_cast<uint32_t>(i));
    if (m_loginFlags.load() & 1) {
      // Student id "1<i>" packed low nibble first (digit d is nibble d + 4), then the auto flag.
      join.push_back(static_cast<uint8_t>((1 + 4) | ((i % 10 + 4) << 4)));
      join.push_back(0x00);
      join.push_back(0x01);
    }
    SendPacket(join);
  }
}

void CReceiverSimulator::RaiseHand(int i, bool up) {
  const uint16_t a = ClickerAddress(i);
  SendPacket({Hi(a), Lo(a), 0x0C, static_cast<uint8_t>(up ? 1 : 0)});
}

void CReceiverSimulator::ReportBattery(int i, bool low, uint8_t linkQuality) {
  const uint16_t a = ClickerAddress(i);
  SendPacket({Hi(a), Lo(a), 0x01, static_cast<uint8_t>(low ? 1 : 0), linkQuality});
}

void CReceiverSimulator::Answer(int i, uint8_t question, const Bytes& answer) {
  const uint16_t a = ClickerAddress(i);
  Bytes packet = {Hi(a), Lo(a), 0x0B, question};
  packet.insert(packet.end(), answer.begin(), answer.end());
  SendPacket(packet);
}

void CReceiverSimulator::EnhancedAnswer(int i, uint8_t sequence, uint8_t question, const Bytes& data, size_t chunk) {
  const uint16_t a = ClickerAddress(i);
  if (chunk == 0) chunk = 1;
  const size_t total = std::max<size_t>(1, (data.size() + chunk - 1) / chunk);
  for (size_t k = 0; k < total; ++k) {
    Bytes packet;
    packet.reserve(9 + chunk);
    for (uint8_t b : {Hi(a), Lo(a), uint8_t{0x25}, sequence, static_cast<uint8_t>(total), static_cast<uint8_t>(k)})
      packet.push_back(b);
    if (k == 0) {
      packet.push_back(question);
      packet.push_back(0);
      packet.push_back(0);
    }
    const size_t from = k * chunk;
    const size_t to = std::min(data.size(), from + chunk);
    packet.insert(packet.end(), data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
    SendPacket(packet);
  }
}

void CReceiverSimulator::LogOff(int i) {
  const uint16_t a = ClickerAddress(i);
  SendPacket({Hi(a), Lo(a), 0x09});
}

void CReceiverSimulator::Disassociate(int i) {
  const uint16_t a = ClickerAddress(i);
  SendPacket({Hi(a), Lo(a), 0x15});
}

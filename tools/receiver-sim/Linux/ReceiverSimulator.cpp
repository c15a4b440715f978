// The simulated receiver's line: the pseudo-terminal (or tty) it sits on, its reader and writer
// threads, unplugging and replugging, the probe answer, and the packets it sent and received.
// Its reactions to packets are in SimReceiverCommands.cpp, the clickers' behaviour in
// SimClickers.cpp, the automatic mode in SimAutomatic.cpp.
#include "ReceiverSimulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "SimFraming.h"

namespace {

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
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

CReceiverSimulator::CReceiverSimulator(SimulatorConfig config)
    : m_config(std::move(config)),
      m_loginFlags(m_config.loginFlags),
      m_random(m_config.seed ? m_config.seed : std::random_device{}()) {
  for (int i = 0; i < m_config.clickers; ++i) ClickerLocked(i);
}

CReceiverSimulator::~CReceiverSimulator() { Stop(); }

namespace {

// A new pty: its master (non-blocking), the slave held open in raw mode, and the slave's path.
// With a tty path, that tty instead (raw, non-blocking) as the master, and no slave.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
};

std::optional<Pty> OpenTty(const std::string& path) {
  Pty line;
  line.master = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (line.master < 0) return std::nullopt;
  line.path = path;
  termios tio{};
  tcgetattr(line.master, &tio);
  cfmakeraw(&tio);
  tcsetattr(line.master, TCSANOW, &tio);
  return line;
}

std::optional<Pty> OpenPty(const std::string& ttyPath) {
  if (!ttyPath.empty()) return OpenTty(ttyPath);
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = nullptr;
  if (pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0) name = ptsname(pty.master);
  if (name) {
    pty.path = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  if (pty.slave < 0) {
    if (pty.master >= 0) close(pty.master);
    return std::nullopt;
  }
  termios tio{};
  tcgetattr(pty.slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(pty.slave, TCSANOW, &tio);
  fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
  return pty;
}

}  // namespace

bool CReceiverSimulator::Start() {
  std::lock_guard life(m_lifeLock);
  if (m_running.load()) return true;
  std::optional<Pty> pty = OpenPty(m_config.ttyPath);
  if (!pty) return false;
  m_master = pty->master;
  m_slaveKeep = pty->slave;
  {
    std::lock_guard guard(m_pathLock);
    m_slavePath = pty->path;
  }
  if (!PointLink(pty->path) || !StartIo()) return false;
  m_running = true;
  return true;
}

bool CReceiverSimulator::StartIo() {
  if (pipe2(m_wake, O_CLOEXEC) != 0) return false;
  m_ioRunning = true;
  m_thread = std::thread([this] { Run(); });
  m_writer = std::thread([this] { RunWriter(); });
  return true;
}

void CReceiverSimulator::StopIo() {
  if (m_ioRunning.exchange(false)) {
    if (m_wake[1] >= 0) {
      const char c = 0;
      (void)!write(m_wake[1], &c, 1);
    }
    {
      std::lock_guard guard(m_writeLock);
      m_outgoing.clear();
    }
    m_writeReady.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  if (m_writer.joinable()) m_writer.join();
  for (int* fd : {&m_wake[0], &m_wake[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool CReceiverSimulator::PointLink(const std::string& ptyPath) {
  if (m_config.linkPath.empty()) return true;
  const std::string fresh = m_config.linkPath + ".new";
  unlink(fresh.c_str());
  return symlink(ptyPath.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), m_config.linkPath.c_str()) == 0;
}

void CReceiverSimulator::Stop() {
  m_scheduler.Stop();
  std::lock_guard life(m_lifeLock);
  if (m_running.exchange(false)) {
    StopIo();
    { std::lock_guard guard(m_lock); }  // a waiter is either waiting now or sees the stop
    m_changed.notify_all();
  }
  std::lock_guard guard(m_fdLock);
  for (int* fd : {&m_master, &m_slaveKeep}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void CReceiverSimulator::Unplug() { Stop(); }

bool CReceiverSimulator::Replug() {
  std::lock_guard life(m_lifeLock);
  if (!m_running.load()) return false;
  std::optional<Pty> pty = OpenPty(m_config.ttyPath);
  if (!pty) return false;
  if (!PointLink(pty->path)) {
    close(pty->master);
    close(pty->slave);
    return false;
  }
  StopIo();
  m_ledger.ForgetPending();  // acknowledgements of the old line's packets cannot come any more
  {
    std::lock_guard guard(m_fdLock);
    close(m_master);
    close(m_slaveKeep);
    m_master = pty->master;
    m_slaveKeep = pty->slave;
  }
  {
    std::lock_guard guard(m_pathLock);
    m_slavePath = pty->path;
  }
  {
    std::lock_guard guard(m_writeLock);
    m_outgoing.clear();  // written while the threads stopped: gone with the old line
  }
  {
    std::lock_guard guard(m_lock);
    PowerOnLocked();
  }
  m_changed.notify_all();
  return StartIo();
}

void CReceiverSimulator::Reboot() {
  {
    std::lock_guard guard(m_lock);
    PowerOnLocked();
  }
  m_changed.notify_all();
  SendStatus(0);
}

void CReceiverSimulator::PowerOnLocked() {
  m_pending.clear();
  m_networkUp = false;
  m_className.clear();
  m_channel = 0;
  m_loginFlags = m_config.loginFlags;
  CloseQuestionsLocked();
  for (auto& [i, clicker] : m_clickers) {
    if (clicker.joined()) clicker.state = ClickerState::Idle;
    clicker.inReview = false;
  }
}

std::string CReceiverSimulator::SlavePath() const {
  if (!m_config.linkPath.empty()) return m_config.linkPath;
  return PtyPath();
}

std::string CReceiverSimulator::PtyPath() const {
  std::lock_guard guard(m_pathLock);
  return m_slavePath;
}

void CReceiverSimulator::Run() {
  uint8_t buffer[512];
  while (m_ioRunning.load()) {
    pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) break;
    const bool hungUp = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
    if (!hungUp && !(fds[0].revents & POLLIN)) continue;
    const ssize_t n = hungUp ? 0 : read(m_master, buffer, sizeof buffer);
    if (n > 0) {
      HandleBytes(buffer, static_cast<size_t>(n));
    } else if (!m_config.ttyPath.empty() && (n == 0 || errno == EIO)) {
      if (!ReopenTty()) break;
    }
  }
}

// The tty hung up: opened again, under the same descriptor number so that the writer goes on
// with the new line. Tried every 100 ms (a gadget's port may not be back yet, and a hang-up
// still under way hangs up an early open too); false when the I/O is told to stop meanwhile.
bool CReceiverSimulator::ReopenTty() {
  for (;;) {
    pollfd wake{m_wake[0], POLLIN, 0};
    if (poll(&wake, 1, 100) > 0) return false;
    std::optional<Pty> line = OpenTty(m_config.ttyPath);
    if (!line) continue;
    std::lock_guard guard(m_fdLock);
    const bool moved = dup3(line->master, m_master, O_CLOEXEC) >= 0;
    close(line->master);
    if (moved) return true;
  }
}

// Writes queued bytes as fast as the line takes them, in order.
void CReceiverSimulator::RunWriter() {
  for (;;) {
    Bytes bytes;
    WrittenHook written;
    {
      std::unique_lock lock(m_writeLock);
      m_writeReady.wait(lock, [&] { return !m_ioRunning.load() || !m_outgoing.empty(); });
      if (!m_ioRunning.load()) return;
      bytes = std::move(m_outgoing.front());
      m_outgoing.pop_front();
      written = m_written;
    }
    const size_t step = splitFrames.load() ? 1 : bytes.size();
    bool complete = true;
    for (size_t at = 0; at < bytes.size();) {
      const size_t length = std::min(step, bytes.size() - at);
      const ssize_t n = write(m_master, bytes.data() + at, length);
      if (n > 0) {
        at += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {  // the line is gone: drop the rest
        complete = false;
        break;
      }
      pollfd fds[2] = {{m_master, POLLOUT, 0}, {m_wake[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
    }
    if (complete && written) written(bytes, std::chrono::steady_clock::now());
  }
}

uint32_t CReceiverSimulator::LineBaud() {
  termios tio{};
  std::lock_guard guard(m_fdLock);
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
  const bool anySetting = !m_config.ttyPath.empty();  // a USB line has no speed of its own
  const bool lineMatches =
      m_config.probeBaud != 0 &&
      (anySetting || (baud == m_config.probeBaud && (m_config.probeOddParityTwoStop ? oddTwo : plain)));
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
    std::lock_guard guard(m_lock);
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

void CReceiverSimulator::SendStatus(uint8_t status) { SendPacket({0, 0, 0x01, status}); }

std::vector<uint8_t> CReceiverSimulator::FrameOf(const Bytes& packet) {
  Bytes frame = SimFraming::Frame(packet);
  if (corruptChecksums.load()) {
    // Flip one bit of the checksum position, keeping the frame free of inner zeros.
    uint8_t& b = frame[frame.size() - 2];
    b = static_cast<uint8_t>(b ^ 0x40) ? static_cast<uint8_t>(b ^ 0x40) : static_cast<uint8_t>(b ^ 0x20);
  }
  return frame;
}

void CReceiverSimulator::SendPacket(const Bytes& packet) {
  {
    std::lock_guard guard(m_lock);
    m_sent.push_back(packet);
  }
  Write(FrameOf(packet));
}

void CReceiverSimulator::SendPackets(const std::vector<Bytes>& packets) {
  Bytes burst;
  {
    std::lock_guard guard(m_lock);
    m_sent.insert(m_sent.end(), packets.begin(), packets.end());
  }
  for (const Bytes& p : packets) {
    const Bytes frame = FrameOf(p);
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  Write(std::move(burst));
}

void CReceiverSimulator::OnWritten(WrittenHook hook) {
  std::lock_guard guard(m_writeLock);
  m_written = std::move(hook);
}

void CReceiverSimulator::Send(const Outgoing& packets) {
  for (const Bytes& p : packets) SendPacket(p);
}

void CReceiverSimulator::SendRaw(Bytes bytes) { Write(std::move(bytes)); }

void CReceiverSimulator::Write(Bytes bytes) {
  {
    std::lock_guard guard(m_writeLock);
    if (!m_running.load()) return;
    m_outgoing.push_back(std::move(bytes));
  }
  m_writeReady.notify_one();
}

std::vector<std::vector<uint8_t>> CReceiverSimulator::Received() {
  std::lock_guard guard(m_lock);
  return m_received;
}

std::vector<std::vector<uint8_t>> CReceiverSimulator::Sent() {
  std::lock_guard guard(m_lock);
  return m_sent;
}

bool CReceiverSimulator::WaitFor(const std::function<bool(const std::vector<Bytes>&)>& match, int timeoutMs) {
  std::unique_lock lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return !m_running.load() || match(m_received); });
  return match(m_received);
}

int CReceiverSimulator::BadFrames() {
  std::lock_guard guard(m_lock);
  return m_badFrames;
}

bool CReceiverSimulator::NetworkUp() {
  std::lock_guard guard(m_lock);
  return m_networkUp;
}

std::string CReceiverSimulator::ClassName() {
  std::lock_guard guard(m_lock);
  return m_className;
}

uint8_t CReceiverSimulator::Channel() {
  std::lock_guard guard(m_lock);
  return m_channel;
}

SimContent::QuestionSet CReceiverSimulator::Questions() {
  std::lock_guard guard(m_lock);
  return m_questions;
}

int CReceiverSimulator::Broadcasts() {
  std::lock_guard guard(m_lock);
  return m_broadcasts;
}

std::optional<ClickerInfo> CReceiverSimulator::Clicker(int i) {
  std::lock_guard guard(m_lock);
  const auto it = m_clickers.find(i);
  if (it == m_clickers.end()) return std::nullopt;
  return it->second;
}

std::vector<ClickerInfo> CReceiverSimulator::Clickers() {
  std::lock_guard guard(m_lock);
  std::vector<ClickerInfo> all;
  for (const auto& [i, c] : m_clickers) all.push_back(c);
  return all;
}

bool CReceiverSimulator::WaitForClickers(const std::function<bool(const std::map<int, ClickerInfo>&)>& match,
                                         int timeoutMs) {
  std::unique_lock lock(m_lock);
  m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return !m_running.load() || match(m_clickers); });
  return match(m_clickers);
}

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

// A student number as a join carries it: two characters a byte, low nibble first, each of
// "-./0123456789" as 1 to 13. Nothing for other characters or more than 16.
std::optional<Bytes> PackStudentNumber(const std::string& number) {
  if (number.empty() || number.size() > 16) return std::nullopt;
  Bytes packed((number.size() + 1) / 2, 0);
  for (size_t k = 0; k < number.size(); ++k) {
    const char c = number[k];
    if (c < '-' || c > '9') return std::nullopt;
    packed[k / 2] |= static_cast<uint8_t>((c - 44) << ((k % 2) * 4));
  }
  return packed;
}

bool ValidStudentNumber(const std::string& number) { return number.empty() || PackStudentNumber(number).has_value(); }

}  // namespace

const char* ToString(ClickerState state) {
  switch (state) {
    case ClickerState::Off:
      return "off";
    case ClickerState::Idle:
      return "idle";
    case ClickerState::Joined:
      return "joined";
    case ClickerState::Granted:
      return "granted";
    case ClickerState::LoggedIn:
      return "logged-in";
    case ClickerState::Refused:
      return "refused";
    case ClickerState::LoggedOff:
      return "logged-off";
  }
  return "?";
}

bool ClickerInfo::Answered(int question, uint64_t set) const {
  return std::any_of(answers.begin(), answers.end(),
                     [&](const ClickerAnswer& a) { return a.question == question && a.set == set; });
}

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

void CReceiverSimulator::HandlePacket(const Bytes& p) {
  const uint16_t address = static_cast<uint16_t>(p[0] << 8 | p[1]);
  const uint8_t command = p[2];
  if (command & 0x80) {  // the service's acknowledgement of a clicker packet
    if (address == 0) m_ledger.Acknowledged(static_cast<uint8_t>(command & 0x7F));
    return;
  }
  if (silent.load()) return;
  const Bytes payload(p.begin() + 3, p.end());
  Outgoing out;
  bool scanEndDue = false;
  {
    std::lock_guard guard(m_lock);
    if (address == 0) {
      if (!dropAnswers.load()) HandleAtReceiverLocked(command, payload, out);
    } else if (address == 0xFFFF) {
      // Broadcasts reach every clicker and are never answered.
      if (command == 0x26) ++m_broadcasts;
      if (command == 0x0E && !payload.empty())
        for (auto& [i, clicker] : m_clickers) SessionEndLocked(clicker, payload[0] & 3);
    } else if (ClickerInfo* clicker = ClickerByAddressLocked(address); clicker && clicker->state != ClickerState::Off) {
      HandleToClickerLocked(*clicker, command, payload, out);
    }
    scanEndDue = std::exchange(m_scanEndDue, false);
    // Recorded with the state they come from: whoever sees the new state sees the reply too.
    m_sent.insert(m_sent.end(), out.begin(), out.end());
  }
  m_changed.notify_all();
  for (const Bytes& p : out) Write(FrameOf(p));
  // Scheduled only now: a timer started before the write could put the scan's end ahead of its
  // start on the wire, and the receiver would wait for an end that never comes.
  if (scanEndDue) m_scheduler.After(m_config.scanMs, [this] { SendStatus(0); });
}

void CReceiverSimulator::HandleAtReceiverLocked(uint8_t command, const Bytes& payload, Outgoing& out) {
  switch (command) {
    case 0x00:
      out.push_back({0, 0, 0x00, m_config.firmware[0], m_config.firmware[1], m_config.firmware[2],
                     Hi(m_config.firmwareChecksum), Lo(m_config.firmwareChecksum)});
      break;
    case 0x04: {
      const bool up = !payload.empty() && payload[0] != 0;
      const bool wasUp = m_networkUp;
      m_networkUp = up;
      out.push_back({0, 0, 0x04, static_cast<uint8_t>(up ? 1 : 0)});
      out.push_back({0, 0, 0x01, static_cast<uint8_t>(up && !mismatchStatus.load() ? 2 : 0)});
      if (!up) {
        // Without a network the clickers drop out of the class.
        for (auto& [i, clicker] : m_clickers)
          if (clicker.joined()) clicker.state = ClickerState::Idle;
        CloseQuestionsLocked();
      } else if (!wasUp) {
        ScheduleAutoJoinsLocked();
      }
      break;
    }
    case 0x05: {
      Bytes answer = {0, 0, 0x05};
      answer.insert(answer.end(), payload.begin(), payload.end());
      m_className.assign(payload.begin(), payload.end());
      m_className.erase(std::find(m_className.begin(), m_className.end(), '\0'), m_className.end());
      out.push_back(answer);
      break;
    }
    case 0x06:
      if (payload.empty()) {
        out.push_back({0, 0, 0x06, m_loginFlags.load()});
      } else {
        const uint8_t before = m_loginFlags.exchange(payload[0]);
        out.push_back({0, 0, 0x06});
        // A flipped login trigger tells the clickers that a new session began.
        if (((before ^ payload[0]) & 2) && m_networkUp) ScheduleAutoJoinsLocked();
      }
      break;
    case 0x0A:
      if (auto batch = SimContent::DecodeQuestionBatch(payload)) {
        SimContent::AddBatch(m_questions, *batch);
        for (auto& [i, clicker] : m_clickers) clicker.inReview = false;
        ScheduleAutoAnswersLocked();
      }
      out.push_back({0, 0, 0x0A});
      break;
    case 0x0D:
      if (!payload.empty()) {
        m_channel = payload[0];
        out.push_back({0, 0, 0x0D, payload[0]});
      }
      break;
    case 0x0E:
      // Session end for every clicker: review mode (0), end of the session (1), power off (2).
      if (!payload.empty()) {
        for (auto& [i, clicker] : m_clickers) SessionEndLocked(clicker, payload[0] & 3);
        CloseQuestionsLocked();
      }
      out.push_back({0, 0, 0x0E});
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
      answer.insert(answer.end(), entries.begin(), entries.end());
      out.push_back(answer);
      break;
    }
    case 0x16:
      if (!payload.empty() && payload[0] == 0) {
        Bytes answer = {0, 0, 0x16, 0x00};
        PutWord(answer, m_config.macHigh);
        PutWord(answer, m_config.macLow);
        out.push_back(answer);
      }
      break;
    case 0x17:
      out.push_back({0, 0, 0x17});
      out.push_back({0, 0, 0x01, 1});
      m_scanEndDue = true;  // the closing "idle" is timed from when these are written
      break;
    case 0x2A:
      if (m_config.productCode < 0)
        out.push_back({0, 0, 0xFF, 0x2A});
      else
        out.push_back({0, 0, 0x2A, static_cast<uint8_t>(m_config.productCode)});
      break;
    default:
      break;
  }
}

void CReceiverSimulator::CloseQuestionsLocked() {
  const uint64_t id = m_questions.id;
  m_questions = SimContent::QuestionSet();
  m_questions.id = id;  // a later batch starts a new set
}

void CReceiverSimulator::SessionEndLocked(ClickerInfo& clicker, uint8_t mode) {
  switch (mode) {
    case 0:
      clicker.inReview = true;
      break;
    case 1:
      clicker.inReview = false;
      break;
    default:
      clicker.state = ClickerState::Off;
      clicker.inReview = false;
      clicker.handUp = false;
      break;
  }
}

void CReceiverSimulator::HandleToClickerLocked(ClickerInfo& clicker, uint8_t command, const Bytes& payload,
                                               Outgoing& out) {
  const uint16_t a = clicker.address;
  switch (command) {
    case 0x04:  // the network state, answering the clicker's query
      out.push_back({Hi(a), Lo(a), 0x04, static_cast<uint8_t>(m_networkUp ? 1 : 0)});
      break;
    case 0x08:
      if (payload.empty()) {
        // The grant reply: the service signed the student in.
        if (clicker.state == ClickerState::Granted) {
          clicker.state = ClickerState::LoggedIn;
          ScheduleAutoAnswersLocked();
        }
        break;
      }
      if (payload[0] & 1) {
        clicker.state = ClickerState::Granted;
        clicker.studentName.assign(payload.begin() + 1, payload.end());
      } else {
        clicker.state = ClickerState::Refused;
      }
      out.push_back({Hi(a), Lo(a), 0x14, static_cast<uint8_t>(payload[0] & 1)});
      break;
    case 0x09:
      clicker.state = ClickerState::LoggedOff;
      out.push_back({Hi(a), Lo(a), 0x09});
      break;
    case 0x0A:
      out.push_back({Hi(a), Lo(a), 0x0A});
      break;
    case 0x0C:
      clicker.handUp = false;
      out.push_back({Hi(a), Lo(a), 0x0C});
      break;
    case 0x0E:
      if (!payload.empty()) SessionEndLocked(clicker, payload[0] & 3);
      if (!payload.empty() && (payload[0] & 3) == 0) m_ledger.Review(clicker.macHigh, clicker.macLow, a);
      out.push_back({Hi(a), Lo(a), 0x0E});
      break;
    case 0x27:
      if (auto results = SimContent::DecodeStudentResults(payload)) clicker.results.push_back(*results);
      out.push_back({Hi(a), Lo(a), 0x27});
      break;
    default:
      break;
  }
}

ClickerInfo& CReceiverSimulator::ClickerLocked(int i) {
  auto it = m_clickers.find(i);
  if (it != m_clickers.end()) return it->second;
  ClickerInfo& c = m_clickers[i];
  c.index = i;
  c.address = ClickerAddress(i);
  c.macHigh = m_config.macHigh;
  c.macLow = m_config.macLow + static_cast<uint32_t>(i);
  return c;
}

ClickerInfo* CReceiverSimulator::ClickerByAddressLocked(uint16_t address) {
  if (address < 0x0100) return nullptr;
  const auto it = m_clickers.find(address - 0x0100);
  return it == m_clickers.end() ? nullptr : &it->second;
}

void CReceiverSimulator::JoinPacketsLocked(ClickerInfo& clicker, bool typed, Outgoing& out) {
  const uint16_t a = clicker.address;
  clicker.inReview = false;
  out.push_back({Hi(a), Lo(a), 0x01, static_cast<uint8_t>(clicker.batteryLow ? 1 : 0), 200});
  Bytes join = {Hi(a), Lo(a), 0x07};
  PutWord(join, clicker.macHigh);
  PutWord(join, clicker.macLow);
  if (!(m_loginFlags.load() & 1)) {
    out.push_back(join);
    clicker.state = ClickerState::LoggedIn;  // anonymous: the service signs it in unasked
    ScheduleAutoAnswersLocked();
    return;
  }
  const std::optional<Bytes> number = PackStudentNumber(clicker.studentNumber);
  if (!number) {
    clicker.state = ClickerState::Idle;  // on the network, waiting for its student to log in
    return;
  }
  join.insert(join.end(), number->begin(), number->end());
  join.push_back(typed ? 0 : 1);  // auto flag: the number was remembered, not typed
  out.push_back(join);
  clicker.state = ClickerState::Joined;
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

std::vector<Bytes> CReceiverSimulator::Received() {
  std::lock_guard guard(m_lock);
  return m_received;
}

std::vector<Bytes> CReceiverSimulator::Sent() {
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

// ---- clicker behaviour -------------------------------------------------------------------

void CReceiverSimulator::JoinAll() {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    for (int i = 0; i < m_config.clickers; ++i) {
      ClickerInfo& c = ClickerLocked(i);
      Bytes join = {Hi(c.address), Lo(c.address), 0x07};
      PutWord(join, c.macHigh);
      PutWord(join, c.macLow);
      if (m_loginFlags.load() & 1) {
        // Student id "1<i>" packed low nibble first (digit d is nibble d + 4), then the auto flag.
        join.push_back(static_cast<uint8_t>((1 + 4) | ((i % 10 + 4) << 4)));
        join.push_back(0x00);
        join.push_back(0x01);
        c.studentNumber = "1" + std::to_string(i % 10);
        c.state = ClickerState::Joined;
      } else {
        c.state = ClickerState::LoggedIn;
      }
      out.push_back(join);
    }
  }
  m_changed.notify_all();
  Send(out);
}

bool CReceiverSimulator::Join(int i, const std::string& studentNumber) {
  if (!ValidStudentNumber(studentNumber)) return false;
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    if (!studentNumber.empty()) c.studentNumber = studentNumber;
    JoinPacketsLocked(c, false, out);
  }
  m_changed.notify_all();
  Send(out);
  return true;
}

bool CReceiverSimulator::Login(int i, const std::string& studentNumber) {
  if (studentNumber.empty() || !ValidStudentNumber(studentNumber)) return false;
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.studentNumber = studentNumber;
    const uint16_t a = c.address;
    Bytes join = {Hi(a), Lo(a), 0x07};
    PutWord(join, c.macHigh);
    PutWord(join, c.macLow);
    const Bytes number = *PackStudentNumber(studentNumber);
    join.insert(join.end(), number.begin(), number.end());
    join.push_back(0);  // typed by the student
    out.push_back(join);
    c.state = ClickerState::Joined;
    c.inReview = false;
  }
  m_changed.notify_all();
  Send(out);
  return true;
}

void CReceiverSimulator::RaiseHand(int i, bool up) {
  uint16_t a;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    if (c.state == ClickerState::Off) c.state = ClickerState::Idle;
    c.handUp = up;
    a = c.address;
  }
  m_changed.notify_all();
  SendPacket({Hi(a), Lo(a), 0x0C, static_cast<uint8_t>(up ? 1 : 0)});
}

void CReceiverSimulator::ReportBattery(int i, bool low, uint8_t linkQuality) {
  uint16_t a;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    if (c.state == ClickerState::Off) c.state = ClickerState::Idle;
    c.batteryLow = low;
    a = c.address;
  }
  m_changed.notify_all();
  SendPacket({Hi(a), Lo(a), 0x01, static_cast<uint8_t>(low ? 1 : 0), linkQuality});
}

void CReceiverSimulator::Answer(int i, uint8_t question, const Bytes& answer) {
  std::lock_guard sending(m_answerSendLock);
  Bytes packet;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.answers.push_back({m_questions.id, question, "raw", "", answer});
    packet = {Hi(c.address), Lo(c.address), 0x0B, question};
    packet.insert(packet.end(), answer.begin(), answer.end());
    ExpectLocked(c, question, "raw", answer, "", {packet});
  }
  m_changed.notify_all();
  SendPacket(packet);
}

void CReceiverSimulator::EnhancedAnswer(int i, uint8_t sequence, uint8_t question, const Bytes& data, size_t chunk) {
  std::lock_guard sending(m_answerSendLock);
  std::optional<Outgoing> packets;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.answers.push_back({m_questions.id, question, "raw", "", data});
    packets = SimAnswers::EnhancedPackets(c.address, sequence, question, data, chunk);
    if (packets) ExpectLocked(c, question, "raw", data, "", *packets);
  }
  m_changed.notify_all();
  if (packets) Send(*packets);
}

void CReceiverSimulator::ExpectLocked(const ClickerInfo& clicker, int question, const char* kind, const Bytes& bytes,
                                      const std::string& text, const Outgoing& packets) {
  if (packets.empty()) return;
  LedgerAnswer answer;
  answer.clickerMacHigh = clicker.macHigh;
  answer.clickerMacLow = clicker.macLow;
  answer.address = clicker.address;
  answer.question = question;
  answer.kind = kind;
  answer.bytes = bytes;
  answer.text = text;
  m_ledger.Expect(answer, packets.front()[2], static_cast<int>(packets.size()));
}

bool CReceiverSimulator::OpenLedger(const std::string& path) {
  return m_ledger.Open(path, m_config.macHigh, m_config.macLow);
}

int CReceiverSimulator::CurrentQuestionLocked(const ClickerInfo& clicker) const {
  if (clicker.inReview || m_questions.empty()) return 0;
  for (const SimContent::Question& q : m_questions.questions)
    if (!clicker.Answered(q.number, m_questions.id)) return q.number;
  return m_questions.questions.back().number;
}

int CReceiverSimulator::CurrentQuestion(int i) {
  std::lock_guard guard(m_lock);
  const auto it = m_clickers.find(i);
  return it == m_clickers.end() ? 0 : CurrentQuestionLocked(it->second);
}

bool CReceiverSimulator::AnswerLocked(ClickerInfo& clicker, const std::string& text, int question,
                                      std::optional<SimAnswers::Kind> kind, Outgoing& out) {
  if (m_config.signedInOnly && (!clicker.loggedIn() || clicker.inReview)) return false;
  const int number = question ? question : CurrentQuestionLocked(clicker);
  if (number < 1 || number > 255) return false;
  if (m_config.signedInOnly && !m_questions.Find(number)) return false;  // not a question it was sent
  const SimContent::Question* q = m_questions.Find(number);
  if (!kind && !q) return false;
  const SimAnswers::Kind k = kind ? *kind : SimAnswers::KindOfType(q->type);
  const std::optional<Bytes> bytes = SimAnswers::Encode(k, text);
  if (!bytes) return false;
  const uint16_t a = clicker.address;
  if (k == SimAnswers::Kind::Text || k == SimAnswers::Kind::Math) {
    const auto packets = SimAnswers::EnhancedPackets(a, clicker.nextSequence, static_cast<uint8_t>(number), *bytes,
                                                     m_config.enhancedChunk);
    if (!packets) return false;
    ++clicker.nextSequence;
    ExpectLocked(clicker, number, SimAnswers::KindName(k), *bytes, text, *packets);
    out.insert(out.end(), packets->begin(), packets->end());
  } else {
    Bytes packet = {Hi(a), Lo(a), 0x0B, static_cast<uint8_t>(number)};
    packet.insert(packet.end(), bytes->begin(), bytes->end());
    ExpectLocked(clicker, number, SimAnswers::KindName(k), *bytes, text, {packet});
    out.push_back(packet);
  }
  clicker.answers.push_back({m_questions.id, number, SimAnswers::KindName(k), text, *bytes});
  return true;
}

bool CReceiverSimulator::AnswerText(int i, const std::string& text, int question,
                                    std::optional<SimAnswers::Kind> kind) {
  std::lock_guard sending(m_answerSendLock);
  Outgoing out;
  bool sent;
  {
    std::lock_guard guard(m_lock);
    sent = AnswerLocked(ClickerLocked(i), text, question, kind, out);
  }
  m_changed.notify_all();
  Send(out);
  return sent;
}

void CReceiverSimulator::EndSession(int i) {
  uint16_t a;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.inReview = true;
    a = c.address;
  }
  m_changed.notify_all();
  SendPacket({Hi(a), Lo(a), 0x0E});
}

void CReceiverSimulator::LogOff(int i) {
  uint16_t a;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.state = ClickerState::LoggedOff;
    a = c.address;
  }
  m_changed.notify_all();
  SendPacket({Hi(a), Lo(a), 0x09});
}

void CReceiverSimulator::Disassociate(int i) {
  uint16_t a;
  {
    std::lock_guard guard(m_lock);
    ClickerInfo& c = ClickerLocked(i);
    c.state = ClickerState::Idle;
    a = c.address;
  }
  m_changed.notify_all();
  SendPacket({Hi(a), Lo(a), 0x15});
}

// ---- automatic mode and flood --------------------------------------------------------------

void CReceiverSimulator::StartAutomatic(int count, AutoSettings settings) {
  {
    std::lock_guard guard(m_lock);
    m_automatic = true;
    m_auto = settings;
    if (m_auto.maxDelayMs < m_auto.minDelayMs) m_auto.maxDelayMs = m_auto.minDelayMs;
    for (int k = 0; k < count; ++k) {
      ClickerInfo& c = ClickerLocked(settings.firstIndex + k);
      c.automatic = true;
      c.studentNumber = std::to_string(settings.firstStudent + k);
    }
    if (m_networkUp) ScheduleAutoJoinsLocked();
    ScheduleAutoAnswersLocked();
  }
  m_changed.notify_all();
}

void CReceiverSimulator::StopAutomatic() {
  std::lock_guard guard(m_lock);
  m_automatic = false;
  for (auto& [i, c] : m_clickers) c.automatic = false;
  // Pending joins and answers find the mode off and do nothing.
}

int CReceiverSimulator::RandomDelayLocked() {
  return std::uniform_int_distribution<int>(m_auto.minDelayMs, m_auto.maxDelayMs)(m_random);
}

void CReceiverSimulator::ScheduleAutoJoinsLocked() {
  if (!m_automatic) return;
  for (auto& [i, c] : m_clickers) {
    const bool waiting = c.state == ClickerState::Off || c.state == ClickerState::Idle ||
                         c.state == ClickerState::LoggedOff || c.state == ClickerState::Refused;
    if (!c.automatic || !waiting || m_joinPending.count(i)) continue;
    m_joinPending.insert(i);
    const int index = i;
    m_scheduler.After(RandomDelayLocked(), [this, index] { AutoJoin(index); });
  }
}

void CReceiverSimulator::AutoJoin(int i) {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    m_joinPending.erase(i);
    ClickerInfo& c = ClickerLocked(i);
    const bool waiting = c.state == ClickerState::Off || c.state == ClickerState::Idle ||
                         c.state == ClickerState::LoggedOff || c.state == ClickerState::Refused;
    if (!m_automatic || !c.automatic || !m_networkUp || !waiting) return;
    JoinPacketsLocked(c, false, out);
  }
  m_changed.notify_all();
  Send(out);
}

void CReceiverSimulator::ScheduleAutoAnswersLocked() {
  if (!m_automatic || !m_auto.answers || m_questions.empty()) return;
  for (auto& [i, c] : m_clickers) {
    if (!c.automatic || !c.loggedIn() || c.inReview) continue;
    int delay = 0;
    for (const SimContent::Question& q : m_questions.questions) {
      const auto key = std::make_tuple(i, m_questions.id, q.number);
      if (c.Answered(q.number, m_questions.id) || m_answerPending.count(key)) continue;
      m_answerPending.insert(key);
      delay += RandomDelayLocked();
      const int index = i, number = q.number;
      const uint64_t set = m_questions.id;
      m_scheduler.After(delay, [this, index, number, set] { AutoAnswer(index, number, set); });
    }
  }
}

void CReceiverSimulator::AutoAnswer(int i, int question, uint64_t set) {
  std::lock_guard sending(m_answerSendLock);
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    m_answerPending.erase(std::make_tuple(i, set, question));
    ClickerInfo& c = ClickerLocked(i);
    const SimContent::Question* q = m_questions.Find(question);
    if (!m_automatic || !c.automatic || !c.loggedIn() || c.inReview || m_questions.id != set || !q ||
        c.Answered(question, set))
      return;
    const SimAnswers::Kind kind = SimAnswers::KindOfType(q->type);
    AnswerLocked(c, AutoAnswerTextLocked(*q, kind), question, kind, out);
  }
  m_changed.notify_all();
  Send(out);
}

std::string CReceiverSimulator::AutoAnswerTextLocked(const SimContent::Question& q, SimAnswers::Kind kind) {
  auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(m_random) < percent; };
  auto pick = [&](const std::vector<std::string>& list, const std::string& fallback) {
    if (list.empty()) return fallback;
    // The first entry is the likely one (the correct answer of the sample lesson).
    if (chance(m_auto.correctPercent)) return list.front();
    return list[std::uniform_int_distribution<size_t>(0, list.size() - 1)(m_random)];
  };
  std::vector<int> codes;  // the correct answer's nibble codes, as the batch carries them
  for (uint8_t b : q.answer)
    for (int shift : {0, 4})
      if (const int code = (b >> shift) & 0x0F) codes.push_back(code);
  auto join = [](const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += (text.empty() ? "" : " ") + std::to_string(v);
    return text;
  };
  switch (kind) {
    case SimAnswers::Kind::Choice: {
      const int count = std::clamp<int>(q.choices ? q.choices : 4, 1, 10);
      if (!codes.empty() && chance(m_auto.correctPercent)) return join(codes);
      std::vector<int> order(static_cast<size_t>(count));
      for (int k = 0; k < count; ++k) order[static_cast<size_t>(k)] = k + 1;
      std::shuffle(order.begin(), order.end(), m_random);
      if (q.type == 4) return join(order);  // ordering: every position once
      if (q.type == 3) {                    // selection: a few of them
        order.resize(std::uniform_int_distribution<size_t>(1, order.size())(m_random));
        std::sort(order.begin(), order.end());
        return join(order);
      }
      return std::to_string(order.front());
    }
    case SimAnswers::Kind::Number: {
      static constexpr std::string_view kTable = "-./0123456789 ";
      std::string correct;
      for (int code : codes) correct += kTable[static_cast<size_t>(code - 1)];
      if (!correct.empty() && chance(m_auto.correctPercent)) return correct;
      return std::to_string(std::uniform_int_distribution<int>(0, 9)(m_random)) + "." +
             std::to_string(std::uniform_int_distribution<int>(0, 9)(m_random));
    }
    case SimAnswers::Kind::ShortAnswer: {
      std::string text = pick(m_config.shortAnswers, "Yes");
      return text.substr(0, SimAnswers::kMaxShortAnswer);
    }
    case SimAnswers::Kind::Text:
      return pick(m_config.textAnswers, "I think so");
    case SimAnswers::Kind::Math:
      return pick(m_config.mathAnswers, "x+1");
  }
  return "1";
}

void CReceiverSimulator::Flood(int count, int firstIndex, int firstStudent) {
  Outgoing out;
  {
    std::lock_guard guard(m_lock);
    for (int k = 0; k < count; ++k) {
      ClickerInfo& c = ClickerLocked(firstIndex + k);
      if (c.studentNumber.empty()) c.studentNumber = std::to_string(firstStudent + k);
      JoinPacketsLocked(c, false, out);
    }
  }
  m_changed.notify_all();
  Send(out);
}

#pragma once
// The service's end of a simulated receiver's pseudo-terminal, played by a test: frames
// packets with the service's own framing and collects what the receiver sends.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Frame.h"

namespace ToolsTest {

using Bytes = std::vector<uint8_t>;

inline constexpr int kPatienceMs = 20000;  // an upper bound, never a measurement

class PtyHost {
 public:
  explicit PtyHost(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m_fd >= 0) {
      termios tio{};
      tcgetattr(m_fd, &tio);
      cfmakeraw(&tio);
      tcsetattr(m_fd, TCSANOW, &tio);
    }
    if (pipe(m_stop) == 0) m_reader = std::thread([this] { Read(); });
  }
  ~PtyHost() {
    if (m_stop[1] >= 0) (void)!write(m_stop[1], "x", 1);
    if (m_reader.joinable()) m_reader.join();
    for (int fd : {m_fd, m_stop[0], m_stop[1]})
      if (fd >= 0) close(fd);
  }
  PtyHost(const PtyHost&) = delete;
  PtyHost& operator=(const PtyHost&) = delete;

  bool Open() const { return m_fd >= 0; }

  void Send(const Bytes& packet) {
    Bytes frame(packet.size() + 3);
    frame.resize(ReceiverFrame::Encode(packet.data(), packet.size(), frame.data()));
    for (size_t at = 0; at < frame.size();) {
      const ssize_t n = write(m_fd, frame.data() + at, frame.size() - at);
      if (n > 0) {
        at += static_cast<size_t>(n);
      } else {
        pollfd out = {m_fd, POLLOUT, 0};
        if (poll(&out, 1, kPatienceMs) <= 0) return;
      }
    }
  }

  // Waits until `match` holds for the packets received so far (or the patience runs out).
  bool WaitFor(const std::function<bool(const std::vector<Bytes>&)>& match) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return match(m_packets); });
  }
  bool WaitForPacket(const Bytes& packet) {
    return WaitFor([&](const std::vector<Bytes>& all) { return Count(all, packet) > 0; });
  }
  std::vector<Bytes> Packets() {
    std::lock_guard lock(m_lock);
    return m_packets;
  }
  int BadFrames() {
    std::lock_guard lock(m_lock);
    return m_bad;
  }

  static size_t Count(const std::vector<Bytes>& all, const Bytes& packet) {
    size_t n = 0;
    for (const Bytes& p : all) n += p == packet;
    return n;
  }
  // Packets from `address` with `command`.
  static std::vector<Bytes> With(const std::vector<Bytes>& all, uint16_t address, uint8_t command) {
    std::vector<Bytes> found;
    for (const Bytes& p : all)
      if (p.size() >= 3 && ((p[0] << 8) | p[1]) == address && p[2] == command) found.push_back(p);
    return found;
  }

 private:
  void Read() {
    Bytes pending;
    for (;;) {
      pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      if (fds[0].revents & (POLLHUP | POLLERR)) return;
      uint8_t buffer[4096];
      const ssize_t n = read(m_fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::lock_guard lock(m_lock);
      for (ssize_t i = 0; i < n; ++i) {
        pending.push_back(buffer[i]);
        if (buffer[i] != 0) continue;
        Bytes packet(pending.size());
        const ReceiverFrame::Decoded d = ReceiverFrame::Decode(pending.data(), pending.size(), packet.data());
        pending.clear();
        if (d.result != ReceiverFrame::DecodeResult::kOk || d.length < 3) {
          ++m_bad;
          continue;
        }
        packet.resize(d.length);
        m_packets.push_back(std::move(packet));
      }
      m_changed.notify_all();
    }
  }

  int m_fd = -1;
  int m_stop[2] = {-1, -1};
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Bytes> m_packets;
  int m_bad = 0;
  std::thread m_reader;
};

}  // namespace ToolsTest

#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/ChildProcess.h"

// A bus of the test's own, run by dbus-daemon on a socket in a temporary directory.
class PrivateBus {
 public:
  PrivateBus() {
    char pattern[] = "/tmp/ovanta-bus-XXXXXX";
    m_dir = mkdtemp(pattern);
    const std::string config = (m_dir / "bus.conf").string();
    std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << (m_dir / "socket").string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                          << "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
                          << "<allow receive_sender=\"*\"/></policy></busconfig>";
    m_daemon = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=2"},
        std::vector<std::string>{});
    m_ready = m_daemon->Started() && m_daemon->WaitForLine("unix:");
  }
  ~PrivateBus() {
    m_daemon.reset();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  bool Ready() const { return m_ready; }
  // Ends the bus daemon: every connection to the bus breaks.
  void Stop() { m_daemon.reset(); }
  std::string Address() const { return "unix:path=" + (m_dir / "socket").string(); }

 private:
  std::filesystem::path m_dir;
  std::unique_ptr<ChildProcess> m_daemon;
  bool m_ready = false;
};

// Plays logind on a bus: owns org.freedesktop.login1, hands out sleep inhibitor locks (the read
// end of each lock's pipe stays here, so a lock released shows as a hang-up) and emits
// PrepareForSleep when asked. Its bus connection lives on its own thread.
class FakeLogind {
 public:
  struct Inhibit {
    std::string what, who, why, mode;
    int fd = -1;  // our end: hangs up once every copy of the lock is closed
  };

  explicit FakeLogind(const std::string& address) {
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (sd_bus_new(&m_bus) < 0 || sd_bus_set_address(m_bus, address.c_str()) < 0 ||
        sd_bus_set_bus_client(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0 ||
        sd_bus_request_name(m_bus, "org.freedesktop.login1", 0) < 0 ||
        sd_bus_add_object_vtable(m_bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", kVtable,
                                 this) < 0) {
      return;
    }
    m_ready = true;
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeLogind() {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) m_thread.join();
    for (const Inhibit& i : m_inhibits) close(i.fd);
    sd_bus_flush_close_unref(m_bus);
    close(m_wake);
  }
  bool Ready() const { return m_ready; }

  void EmitPrepareForSleep(bool sleeping) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_signals.push_back(sleeping);
    }
    Wake();
  }
  bool WaitForInhibits(size_t count) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_inhibits.size() >= count; });
  }
  std::vector<Inhibit> Inhibits() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inhibits;
  }
  // Whether the lock has been released, waiting up to waitMs for that.
  static bool Released(const Inhibit& lock, int waitMs = 0) {
    pollfd p{lock.fd, POLLIN, 0};
    return poll(&p, 1, waitMs) == 1;
  }

 private:
  static int OnInhibit(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeLogind*>(userdata);
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    if (sd_bus_message_read(message, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
    {
      // Recorded before the reply goes out, so that the caller finds it once it has the lock.
      std::lock_guard<std::mutex> guard(self->m_lock);
      self->m_inhibits.push_back({what, who, why, mode, fds[0]});
      self->m_changed.notify_all();
    }
    const int r = sd_bus_reply_method_return(message, "h", fds[1]);  // the reply carries a copy
    close(fds[1]);
    return r;
  }

  void Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
  }

  void Run() {
    for (;;) {
      while (sd_bus_process(m_bus, nullptr) > 0) {
      }
      {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_stop) return;
        while (!m_signals.empty()) {
          const int sleeping = m_signals.front() ? 1 : 0;
          m_signals.pop_front();
          lock.unlock();
          sd_bus_emit_signal(m_bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                             sleeping);
          sd_bus_flush(m_bus);
          lock.lock();
        }
      }
      pollfd fds[2] = {{sd_bus_get_fd(m_bus), static_cast<short>(sd_bus_get_events(m_bus)), 0}, {m_wake, POLLIN, 0}};
      poll(fds, 2, -1);
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(m_wake, &count, sizeof count);
    }
  }

  inline static const sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
      SD_BUS_VTABLE_END,
  };

  sd_bus* m_bus = nullptr;
  int m_wake = -1;
  bool m_ready = false;
  std::mutex m_lock;  // the requests to emit and the locks handed out
  std::condition_variable m_changed;
  std::deque<bool> m_signals;
  std::vector<Inhibit> m_inhibits;
  bool m_stop = false;
  std::thread m_thread;
};

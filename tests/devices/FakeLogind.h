#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/ChildProcess.h"
#include "tests/service/TestFiles.h"

// What one thread adds and another waits for, in order.
template <typename T>
class Recorded {
 public:
  void Add(T item) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_items.push_back(std::move(item));
    m_changed.notify_all();
  }
  // The index-th item, waiting for it; nullopt when it did not come.
  std::optional<T> Wait(size_t index) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_items.size() > index; });
    return m_items.size() > index ? std::make_optional(m_items[index]) : std::nullopt;
  }
  std::vector<T> All() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_items;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<T> m_items;
};

// A bus of the test's own, run by dbus-daemon on a socket in a temporary directory.
class PrivateBus {
 public:
  PrivateBus() {
    m_daemon = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork",
                                                                       "--address=" + Address(), "--print-address=2"},
                                              std::vector<std::string>{});
    m_ready = m_daemon->Started() && m_daemon->WaitForLine("unix:");
  }
  bool Ready() const { return m_ready; }
  void Stop() { m_daemon.reset(); }  // every connection to the bus breaks
  std::string Address() const { return "unix:path=" + m_dir.File("socket"); }

 private:
  TempDir m_dir;  // goes after the daemon
  std::unique_ptr<ChildProcess> m_daemon;
  bool m_ready = false;
};

// Plays logind on a bus: owns org.freedesktop.login1, hands out sleep inhibitor locks (the read
// end of each lock's pipe stays here, so a lock released shows as a hang-up) and emits
// PrepareForSleep when asked. Its connection is served on a thread of its own; every use of the
// connection holds m_lock, and m_wake brings the thread back from its poll.
class FakeLogind {
 public:
  struct Inhibit {
    std::string what, who, mode;
    int fd = -1;  // our end: hangs up once every copy of the lock is closed
  };

  explicit FakeLogind(const std::string& address) {
    m_ready = sd_bus_new(&m_bus) >= 0 && sd_bus_set_address(m_bus, address.c_str()) >= 0 &&
              sd_bus_set_bus_client(m_bus, 1) >= 0 && sd_bus_start(m_bus) >= 0 &&
              sd_bus_request_name(m_bus, "org.freedesktop.login1", 0) >= 0 &&
              sd_bus_add_object_vtable(m_bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                       kVtable, this) >= 0;
    if (m_ready) m_thread = std::thread([this] { Run(); });
  }
  ~FakeLogind() {
    Locked([&] { m_stop = true; });
    if (m_thread.joinable()) m_thread.join();
    for (const Inhibit& i : m_inhibits.All()) close(i.fd);
    sd_bus_flush_close_unref(m_bus);
    close(m_wake);
  }
  bool Ready() const { return m_ready; }

  void EmitPrepareForSleep(bool sleeping) {
    Locked([&] {
      sd_bus_emit_signal(m_bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                         sleeping ? 1 : 0);
      sd_bus_flush(m_bus);
    });
  }
  // The index-th lock handed out, waiting for it (fd -1 when none came).
  Inhibit WaitForInhibit(size_t index) { return m_inhibits.Wait(index).value_or(Inhibit{}); }
  std::vector<Inhibit> Inhibits() { return m_inhibits.All(); }
  // Whether the lock has been released, waiting up to waitMs for that.
  static bool Released(const Inhibit& lock, int waitMs = 0) {
    pollfd p{lock.fd, POLLIN, 0};
    return poll(&p, 1, waitMs) == 1;
  }

 private:
  // Called on the bus thread, under m_lock.
  static int OnInhibit(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeLogind*>(userdata);
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    if (sd_bus_message_read(message, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
    self->m_inhibits.Add({what, who, mode, fds[0]});
    const int r = sd_bus_reply_method_return(message, "h", fds[1]);  // the reply carries a copy
    close(fds[1]);
    return r;
  }

  void Locked(const std::function<void()>& action) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      action();
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
  }

  void Run() {
    for (;;) {
      pollfd fds[2] = {{-1, 0, 0}, {m_wake, POLLIN, 0}};
      {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stop) return;
        while (sd_bus_process(m_bus, nullptr) > 0) {
        }
        fds[0] = {sd_bus_get_fd(m_bus), static_cast<short>(sd_bus_get_events(m_bus)), 0};
      }
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
  int m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  bool m_ready = false, m_stop = false;
  std::mutex m_lock;  // the connection and m_stop
  Recorded<Inhibit> m_inhibits;
  std::thread m_thread;
};

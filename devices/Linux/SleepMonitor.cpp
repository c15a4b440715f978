#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

#include "devices/Linux/OsEvents.h"
#include "log/Logger.h"
#include "platform/WaitEvent.h"

struct CSleepMonitor::Impl {
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  int inhibitFd = -1;
  CWaitEvent stop;
  std::thread thread;
  PowerEventHandler handler;
  std::atomic<bool> lost{false};

  // A delay lock: logind waits (up to its InhibitDelayMaxSec) until it is released.
  void TakeSleepLock() {
    if (inhibitFd >= 0) return;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Inhibit", &error, &reply, "ssss", "sleep", "Ovanta Hardware",
                           "Closing the receivers before the machine sleeps", "delay") >= 0) {
      int fd = -1;
      if (sd_bus_message_read(reply, "h", &fd) >= 0) inhibitFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    } else {
      OV_LOG(kLogDiagnostic, "Could not take the sleep delay lock: %s", error.message ? error.message : "unknown");
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
  }

  void ReleaseSleepLock() {
    if (inhibitFd >= 0) close(inhibitFd);
    inhibitFd = -1;
  }

  static int OnPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    if (sleeping) {
      self->handler(PowerEvent::kSuspend);
      self->ReleaseSleepLock();  // the receivers are closed: the machine may sleep
    } else {
      self->TakeSleepLock();
      self->handler(PowerEvent::kResumeSuspend);
    }
    return 0;
  }

  // The bus connection broke: said once, and the service goes on without sleep handling.
  void Lost(int error) {
    OV_LOG(kLogMilestone, "The system bus connection was lost (%s): receivers are no longer closed around sleep",
           strerror(-error));
    lost = true;
  }

  void Run() {
    for (;;) {
      int processed;
      while ((processed = sd_bus_process(bus, nullptr)) > 0) {
      }
      if (processed < 0) return Lost(processed);
      const int events = sd_bus_get_events(bus);
      if (events < 0) return Lost(events);
      uint64_t usec = UINT64_MAX;
      sd_bus_get_timeout(bus, &usec);
      int timeoutMs = -1;
      if (usec != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec =
            static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
        timeoutMs = usec > nowUsec ? static_cast<int>((usec - nowUsec + 999) / 1000) : 0;
      }
      const Platform::WaitHandle handles[] = {
          Platform::WaitHandle::Of(stop),
          Platform::WaitHandle::Descriptor(sd_bus_get_fd(bus), static_cast<short>(events))};
      const int which = Platform::WaitForAny(handles, timeoutMs);
      if (which == 0) return;
      if (which == Platform::kWaitFailed) return Lost(-errno);
    }
  }
};

CSleepMonitor::CSleepMonitor(PowerEventHandler handler) : m_impl(std::make_unique<Impl>()) {
  m_impl->handler = std::move(handler);
  if (sd_bus_open_system(&m_impl->bus) < 0 ||
      sd_bus_match_signal(m_impl->bus, &m_impl->slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", &Impl::OnPrepareForSleep,
                          m_impl.get()) < 0) {
    OV_LOG(kLogDiagnostic, "No system bus on this machine: receivers are not closed around sleep");
    m_impl->bus = sd_bus_flush_close_unref(m_impl->bus);
    return;
  }
  m_impl->TakeSleepLock();
  m_impl->thread = std::thread([impl = m_impl.get()] { impl->Run(); });
}

CSleepMonitor::~CSleepMonitor() {
  m_impl->stop.Set();
  if (m_impl->thread.joinable()) m_impl->thread.join();
  m_impl->ReleaseSleepLock();
  sd_bus_slot_unref(m_impl->slot);
  sd_bus_flush_close_unref(m_impl->bus);
}

bool CSleepMonitor::Running() const { return m_impl->thread.joinable() && !m_impl->lost.load(); }

// logind-sim: the machine's sleep and resume as logind announces them, on a bus of the caller's
// (a private dbus-daemon whose address the hardware service is given as its system bus). It owns
// org.freedesktop.login1, hands out sleep delay locks (Inhibit) and takes one command per line on
// standard input:
//   sleep   PrepareForSleep(true); "asleep" is printed once every delay lock handed out was
//           released, or after 5 s (logind's longest delay) when one was not
//   resume  PrepareForSleep(false); "awake" is printed
// It prints "ready" once it owns the name, and ends at the end of its input.
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<int> g_locks;  // our ends of the delay locks handed out; a released lock hangs up

int OnInhibit(sd_bus_message* message, void*, sd_bus_error*) {
  const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
  if (sd_bus_message_read(message, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
  g_locks.push_back(fds[0]);
  const int r = sd_bus_reply_method_return(message, "h", fds[1]);  // the reply carries a copy
  close(fds[1]);
  return r;
}

const sd_bus_vtable kLogindVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", &OnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_VTABLE_END,
};

void Emit(sd_bus* bus, bool sleeping) {
  sd_bus_emit_signal(bus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                     sleeping ? 1 : 0);
  sd_bus_flush(bus);
}

// Serves the bus until `done` holds or `ms` pass (-1: until standard input has a line).
template <typename Done>
void Serve(sd_bus* bus, int ms, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  for (;;) {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    if (done()) return;
    int wait = -1;
    if (ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      wait = static_cast<int>(std::min<long long>(left.count(), 100));
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {0, POLLIN, 0}};
    poll(fds, ms < 0 ? 2 : 1, wait);
    if (ms < 0 && fds[1].revents) return;
  }
}

bool LocksReleased() {
  for (int fd : g_locks) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "--address") {
    fprintf(stderr, "usage: logind-sim --address BUS-ADDRESS   (commands on standard input: sleep, resume)\n");
    return 2;
  }
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[2]) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 || sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0 ||
      sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", kLogindVtable,
                               nullptr) < 0) {
    fprintf(stderr, "logind-sim: cannot serve org.freedesktop.login1 on %s\n", argv[2]);
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  std::string line;
  for (;;) {
    Serve(bus, -1, [] { return false; });
    char c;
    const ssize_t n = read(0, &c, 1);
    if (n <= 0) break;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line == "sleep") {
      // Locks held now are the ones the sleep waits for; the service releases its own.
      Emit(bus, true);
      Serve(bus, 5000, LocksReleased);
      for (int fd : g_locks) close(fd);
      g_locks.clear();
      printf("asleep\n");
    } else if (line == "resume") {
      Emit(bus, false);
      Serve(bus, 200, [] { return false; });  // the service takes its next lock
      printf("awake\n");
    } else if (!line.empty()) {
      fprintf(stderr, "logind-sim: unknown command: %s\n", line.c_str());
    }
    fflush(stdout);
    line.clear();
  }
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  return 0;
}

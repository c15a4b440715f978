// ovanta-sdk-client: talks to the hardware service's SDK server on this host.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ServiceControl.h"
#include "platform/SocketExceptions.h"
#include "sdk/SdkClient.h"
#include "text/StringBuffer.h"

namespace {

const char* const kUsage =
    "usage: ovanta-sdk-client [--port N] [--timeout MS] COMMAND [ARGS]\n"
    "  list              print the receivers: number, state (open, analyzing data, device not\n"
    "                    present, device in use), name\n"
    "  watch             print receiver-list and log changes until Ctrl-C\n"
    "  send N TEXT       send a command text (comma-separated hex bytes) to receiver N\n"
    "  get-flags         print the log flags\n"
    "  set-flags VALUE   set the log flags (decimal, or hexadecimal with 0x)\n"
    "  log-file          print the log file's name\n"
    "  reset-log         empty the log file\n"
    "  ping              check that the server answers\n"
    "Without --port the server is found by multicast on the local host.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

std::optional<long> Number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return std::nullopt;
  return value;
}

// What the server has pushed to this client, for the main thread to print.
class Inbox {
 public:
  CSdkClient::Handlers Handlers() {
    return {[this](const std::vector<ReceiverStatusW>& records) {
              Push(Event{Event::kStatus, records});
            },
            [this] {
              Push(Event{Event::kLogChanged, {}});
            },
            [this] {
              Push(Event{Event::kDisconnected, {}});
            }};
  }
  // Ctrl-C (or a stop signal) while the main thread waits for what arrives.
  void Stopped() { Push(Event{Event::kStopped, {}}); }
  struct Event {
    enum Kind { kStatus, kLogChanged, kDisconnected, kStopped } kind;
    std::vector<ReceiverStatusW> records;
  };
  // The next event, waiting at most timeoutMs (< 0: without limit).
  std::optional<Event> Next(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    auto ready = [&] { return !m_events.empty(); };
    if (timeoutMs < 0)
      m_changed.wait(lock, ready);
    else if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
      return std::nullopt;
    Event event = std::move(m_events.front());
    m_events.erase(m_events.begin());
    return event;
  }

 private:
  void Push(Event event) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(std::move(event));
    m_changed.notify_all();
  }
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Event> m_events;
};

// A receiver's state by name: its link's status as the service reports it.
std::string StateName(uint32_t state) {
  switch (state) {
    case 0:
      return "open";
    case 1:
      return "analyzing data";
    case 2:
      return "device not present";
    case 3:
      return "device in use";
    default:
      return "unknown (" + std::to_string(state) + ")";
  }
}

void PrintStatus(const std::vector<ReceiverStatusW>& records) {
  std::printf("%zu receiver(s)\n", records.size());
  for (const auto& record : records)
    std::printf("%u\t%s\t%s\n", record.receiverNumber, StateName(record.receiverState).c_str(),
                Voxlet::UTF16to8(CStatusMessage::NameOf(record)).c_str());
  std::fflush(stdout);
}

// Prints what arrives until Ctrl-C or until the server goes.
int Watch(Inbox& inbox) {
  for (;;) {
    const std::optional<Inbox::Event> event = inbox.Next(-1);
    switch (event->kind) {
      case Inbox::Event::kStatus:
        PrintStatus(event->records);
        break;
      case Inbox::Event::kLogChanged:
        std::puts("log changed");
        std::fflush(stdout);
        break;
      case Inbox::Event::kDisconnected:
        std::fputs("the server closed the connection\n", stderr);
        return 1;
      case Inbox::Event::kStopped:
        return 0;
    }
  }
}

// An asynchronous request is confirmed by a ping behind it: the server handles a client's
// messages in order.
int Confirmed(CSdkClient& client, bool sent, int timeoutMs) {
  if (sent && client.Ping(timeoutMs)) return 0;
  std::fputs("the server did not confirm the request\n", stderr);
  return 1;
}

int Run(CSdkClient& client, Inbox& inbox, const std::vector<std::string>& args, int timeoutMs) {
  const std::string& command = args[0];
  if (command == "list" && args.size() == 1) {
    for (;;) {
      auto event = inbox.Next(timeoutMs);
      if (!event || event->kind == Inbox::Event::kDisconnected || event->kind == Inbox::Event::kStopped) {
        std::fputs("no receiver list from the server\n", stderr);
        return 1;
      }
      if (event->kind == Inbox::Event::kStatus) {
        PrintStatus(event->records);
        return 0;
      }
    }
  }
  if (command == "watch" && args.size() == 1) return Watch(inbox);
  if (command == "send" && args.size() == 3) {
    const auto receiver = Number(args[1].c_str());
    if (!receiver) return Usage();
    return Confirmed(client, client.SendCommand(static_cast<int32_t>(*receiver), Voxlet::UTF8to16(args[2])), timeoutMs);
  }
  if (command == "get-flags" && args.size() == 1) {
    const auto flags = client.GetLogFlags(timeoutMs);
    if (!flags) return Confirmed(client, false, timeoutMs);
    std::printf("0x%X\n", static_cast<unsigned>(*flags));
    return 0;
  }
  if (command == "set-flags" && args.size() == 2) {
    const auto flags = Number(args[1].c_str());
    if (!flags) return Usage();
    return Confirmed(client, client.SetLogFlags(static_cast<int32_t>(*flags)), timeoutMs);
  }
  if (command == "log-file" && args.size() == 1) {
    const auto name = client.GetLogFileName(timeoutMs);
    if (!name) return Confirmed(client, false, timeoutMs);
    std::printf("%s\n", Voxlet::UTF16to8(*name).c_str());
    return 0;
  }
  if (command == "reset-log" && args.size() == 1) return Confirmed(client, client.ResetLog(), timeoutMs);
  if (command == "ping" && args.size() == 1) return Confirmed(client, true, timeoutMs);
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<long> port;
  int timeoutMs = 5000;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--port" || arg == "--timeout") && i + 1 < argc) {
      const auto value = Number(argv[++i]);
      if (!value || *value < 0 || (arg == "--port" && (*value == 0 || *value > 65535))) return Usage();
      if (arg == "--port")
        port = *value;
      else
        timeoutMs = static_cast<int>(*value);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) return Usage();

  // Ctrl-C reaches the stop watcher only: blocked before any thread starts.
  Platform::BlockStopSignals();

  try {
    if (!port) {
      const auto found = CSdkClient::Discover(timeoutMs);
      if (!found) {
        std::fputs("no SDK server answered on this host\n", stderr);
        return 1;
      }
      port = *found;
    }
    Inbox inbox;
    const Platform::StopSignalWatcher stop([&inbox](int) { inbox.Stopped(); });
    CSdkClient client(inbox.Handlers());
    if (!client.Connect(static_cast<uint16_t>(*port))) {
      std::fprintf(stderr, "port %ld is not the SDK server\n", *port);
      return 1;
    }
    return Run(client, inbox, args, timeoutMs);
  } catch (const CExceptionBase& e) {
    std::fprintf(stderr, "%s (error %d)\n", e.Message().c_str(), e.Code());
    return 1;
  }
}

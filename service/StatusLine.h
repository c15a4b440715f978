#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

// How the running service is doing, as the status line tells it.
struct ServiceStatus {
  enum class Spool {
    kNotOpen,     // no receiver yet: the answer spool opens with the first
    kKeeping,     // answers are kept on disk until the software service confirms them
    kNotKeeping,  // the spool cannot be used: answers are relayed without being kept
  };
  size_t receiversOpen = 0;
  size_t clickersSignedIn = 0;
  bool softwareServiceConnected = false;
  Spool spool = Spool::kNotOpen;
  size_t answersKept = 0;  // with kKeeping: the answers the spool holds
  bool operator==(const ServiceStatus&) const = default;
};

// "2 receivers open, 57 clickers signed in, software service connected, 0 answers kept".
std::string StatusText(const ServiceStatus& status);

// Publishes the status line: where the service manager shows one (systemd's STATUS=) when the
// text changed, at most once a second; and, for a manager that shows none (the SCM), as a log
// line whenever the receivers open or the software service's connection changed, never for an
// answer or a clicker alone. Update is called once a second and on changes; a change held back
// by the once-a-second limit goes out with a later call. One lock guards it; the outputs are
// called under it, so they must not call back.
class CStatusLine {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  struct Outputs {
    std::function<void(const std::string&)> status;     // empty: the manager shows none
    std::function<void(const std::string&)> milestone;  // empty: nothing logged
  };
  static constexpr std::chrono::milliseconds kMinimumInterval{1000};

  explicit CStatusLine(Outputs outputs, Clock clock = std::chrono::steady_clock::now);
  void Update(const ServiceStatus& status);

 private:
  Outputs m_outputs;
  Clock m_clock;
  std::mutex m_lock;
  std::string m_shown;
  std::optional<std::chrono::steady_clock::time_point> m_shownAt;
  std::optional<ServiceStatus> m_logged;
};

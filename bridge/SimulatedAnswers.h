#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The simulated-answers mode, a diagnostic aid: once the questions of an assessment are on the
// receiver, a thread of its own asks the receiver, question by question, to have its clickers
// answer with canned answers (a broadcast command text), so that a classroom can be exercised
// without students.
//
// Threads and locks. Start, Stop and StopAndJoin may be called from any thread but the mode's
// own. The state lock guards the running flag and is the one the waits sleep on; it is never
// held while sending. The thread lock serialises starting and joining; it is taken before the
// state lock and never by the mode's thread, so a send that blocks on the receiver's command
// lock never holds up a Stop.
class CSimulatedAnswers {
 public:
  struct Settings {
    // Between two questions.
    int latencyMs = 10000;
    // How long the clickers take to answer, carried in the command.
    int responseWindowMs = 6000;
  };
  // What the mode hands each command text to (the receiver's once-mode command text).
  using Send = std::function<void(const std::string& text)>;

  CSimulatedAnswers() = default;
  // Stops and joins the thread.
  ~CSimulatedAnswers();
  CSimulatedAnswers(const CSimulatedAnswers&) = delete;
  CSimulatedAnswers& operator=(const CSimulatedAnswers&) = delete;

  // Stops and joins a previous run, then walks the question codes (one per question sent, as
  // question packaging gives them) on a new thread: firstWaitMs before the first, the latency
  // after each.
  void Start(std::vector<unsigned int> questionCodes, Settings settings, int firstWaitMs, Send send);
  // Clears the running flag and cuts the current wait short; the thread ends at once, or after
  // the command it is sending. Does not join.
  void Stop();
  // Stop, then join the thread.
  void StopAndJoin();
  bool Running() const;

  // The latency and the response window as given, or 10000 and 6000 when the pair is unusable:
  // latency outside 1000 .. 20000, window below 1000, or latency not greater than the window.
  static Settings CheckedSettings(int64_t latencyMs, int64_t responseWindowMs);
  // CheckedSettings over "RemotesLatency" and "RemotesResponseWindow" of the hardware-service
  // key in the registry.
  static Settings ReadSettings();
  // The command text for the question at `position` (from 1) whose code is `questionCode`.
  static std::string CommandText(const Settings& settings, unsigned int position, unsigned int questionCode);

 private:
  // The thread's walk.
  void Run(const std::vector<unsigned int>& questionCodes, Settings settings, int firstWaitMs, const Send& send);
  // Sleeps until the time has passed (true) or the mode was stopped (false).
  bool WaitFor(int milliseconds);

  mutable std::mutex m_stateLock;
  std::condition_variable m_wake;
  // Set by Start before the thread starts, cleared by Stop or by the thread when it is done;
  // a thread is always joined before the next one starts, so the flag is only ever its own.
  bool m_running = false;

  std::mutex m_threadLock;
  std::thread m_thread;
};

#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "text/StringBuffer.h"

// Each clicker's traffic to the software service, one turn after another in the order the radio
// produced it: an answer (which waits for its record to be on the disk, and then for its
// verdict), a hello, a sign-in, a raised hand, a goodbye. A turn starts once it is at the head of
// its clicker's line and ready, and the line moves on when the turn is done, so that a goodbye
// never overtakes the clicker's own answer and an answer never overtakes the hello it follows.
// Different clickers' lines do not wait for each other.
//
// The lock is a leaf: turns are started outside it, on the thread that made them startable.
class ClickerLines {
 public:
  using Ticket = uint64_t;
  // Runs when the turn starts; it ends the turn with Done, at once or later, on any thread.
  using Start = std::function<void(Ticket)>;

  // A turn at the back of the clicker's line; unless ready, it waits for MarkReady. It may start
  // before Add returns.
  Ticket Add(const Voxlet::StringBuffer& clicker, bool ready, Start start);
  void MarkReady(Ticket ticket);
  // The turn is over: the next one of its line starts when it is ready.
  void Done(Ticket ticket);
  // Turns not yet done, in every line.
  size_t Pending() const;
  // Waits until every line is empty, `stop` is set (looked at when Notify is called), or the time
  // is up; true when the lines are empty.
  bool WaitUntilEmpty(std::chrono::milliseconds limit, const std::atomic<bool>& stop);
  // Wakes WaitUntilEmpty to check its stop condition again.
  void Notify();
  // Forgets every turn (the session closed): nothing more starts.
  void Clear();

 private:
  struct Turn {
    Ticket ticket = 0;
    bool ready = false;
    bool started = false;
    Start start;
  };
  // The head of the line when it may start now (marked started), or nothing.
  Start TakeStartable(const Voxlet::StringBuffer& clicker, Ticket& ticket);
  void StartHead(const Voxlet::StringBuffer& clicker);

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<Voxlet::StringBuffer, std::deque<Turn>> m_lines;
  std::map<Ticket, Voxlet::StringBuffer> m_lineOf;
  Ticket m_nextTicket = 1;
};

#pragma once
#include <chrono>
#include <mutex>
#include <vector>

#include "text/StringBuffer.h"

// The ports whose receivers asked to be reset. Receivers queue them from their own threads,
// possibly while an open or a close waits for those threads: its lock is held only for the
// copy or change, and nothing is called under it.
//
// Each request keeps when it was made: a receiver opened on the port after that is not the one
// that asked (the one that asked was closed meanwhile, by a suspend or an unplug), and the
// request does not apply to it.
class CResetQueue {
 public:
  using Clock = std::chrono::steady_clock;
  struct Request {
    Voxlet::StringBuffer portName;
    Clock::time_point askedAt;
    bool operator==(const Request&) const = default;
  };

  void Push(const Voxlet::StringBuffer& portName);
  std::vector<Request> Requests() const;
  std::vector<Voxlet::StringBuffer> Ports() const;
  // Takes the request out of the queue.
  void Remove(const Request& request);

 private:
  mutable std::mutex m_lock;
  std::vector<Request> m_requests;
};

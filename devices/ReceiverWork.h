#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Receiver work asked for on threads that must not wait for it: the client library's threads
// serve every connection to the software service, and opening a receiver can take seconds
// while its link tries line settings. One thread of its own does the work; requests of a kind
// already waiting are merged into it.
class CReceiverWork {
 public:
  enum Kind : unsigned {
    kEnumerate = 1,     // open every receiver found
    kRetryPending = 2,  // retry the devices whose port was not there
    kResetQueue = 4,    // close and reopen the receivers that asked to be reset
  };

  explicit CReceiverWork(std::function<void(unsigned kinds)> perform);
  // Lets the work under way finish and drops the rest.
  ~CReceiverWork();
  CReceiverWork(const CReceiverWork&) = delete;
  CReceiverWork& operator=(const CReceiverWork&) = delete;

  void Post(unsigned kinds);
  // Returns once nothing is waiting or under way.
  void WaitIdle();

 private:
  void Run();

  std::function<void(unsigned)> m_perform;
  std::mutex m_lock;
  std::condition_variable m_changed;
  unsigned m_queued = 0;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;  // last: starts once the rest is ready
};

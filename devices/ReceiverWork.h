#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// What the receiver work thread is asked to do.
enum class ReceiverWorkKind {
  kEnumerate,     // open every receiver found
  kRetryPending,  // retry the devices whose port was not there
  kResetQueue,    // close and reopen the receivers that asked to be reset
};

// The kinds of work waiting, merged: each is done once however often it was asked for.
struct ReceiverWorkSet {
  bool enumerate = false;
  bool retryPending = false;
  bool resetQueue = false;
  bool Empty() const { return !enumerate && !retryPending && !resetQueue; }
  void Add(ReceiverWorkKind kind);
};

// Receiver work asked for on threads that must not wait for it: the client library's threads
// serve every connection to the software service, and opening a receiver can take seconds
// while its link tries line settings. One thread of its own does the work; requests of a kind
// already waiting are merged into it.
class CReceiverWork {
 public:
  explicit CReceiverWork(std::function<void(const ReceiverWorkSet& work)> perform);
  // Lets the work under way finish and drops the rest.
  ~CReceiverWork();
  CReceiverWork(const CReceiverWork&) = delete;
  CReceiverWork& operator=(const CReceiverWork&) = delete;

  void Post(ReceiverWorkKind kind);
  // Returns once nothing is waiting or under way.
  void WaitIdle();

 private:
  void Run();

  std::function<void(const ReceiverWorkSet&)> m_perform;
  std::mutex m_lock;
  std::condition_variable m_changed;
  ReceiverWorkSet m_queued;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;  // last: starts once the rest is ready
};

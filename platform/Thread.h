#pragma once
#include <atomic>
#include <functional>
#include <thread>

#include "platform/WaitEvent.h"

namespace Platform {

// The one way the service runs a thread, under both thread classes below: a body on a new
// thread and an event set once it has returned.
class ThreadRunner {
 public:
  ThreadRunner() = default;
  ThreadRunner(const ThreadRunner&) = delete;
  ThreadRunner& operator=(const ThreadRunner&) = delete;
  ~ThreadRunner() { Join(); }

  // Runs body on a new thread. False when the last thread has not been joined or no thread
  // can be created.
  bool Start(std::function<void()> body);
  // Waits for the body to return and joins its thread; false on time-out (timeoutMs < 0 waits
  // without limit). True when there is no thread to join.
  bool Join(int timeoutMs = -1);
  std::thread::id Id() const { return m_thread.get_id(); }
  CWaitEvent& Finished() { return m_finished; }

 private:
  std::thread m_thread;
  CWaitEvent m_finished;
};

}  // namespace Platform

// A thread wrapper whose body is the virtual Run. A derived class must join its thread
// (Join) in its own destructor, before its members go away.
class CThread {
 public:
  CThread() = default;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  virtual ~CThread();

  // Creates the thread, running at once. False when it is already running or cannot start.
  bool Start();
  // Waits for the thread to end; true when it ended (or never ran).
  bool Join(int timeoutMs = -1);
  std::thread::id Id() const { return m_runner.Id(); }

 protected:
  virtual unsigned Run() = 0;

 private:
  Platform::ThreadRunner m_runner;
};

// A thread with a stop event and a finished event, for the link I/O threads and the
// messaging sockets.
class CThreadBase {
 public:
  CThreadBase() = default;
  CThreadBase(const CThreadBase&) = delete;
  CThreadBase& operator=(const CThreadBase&) = delete;
  // A derived class calls Stop and WaitForEnd in its own destructor too, so that Run never
  // outlives the members it uses.
  virtual ~CThreadBase();

  virtual void Run() = 0;
  // Nothing when running; otherwise resets both events and starts a new thread.
  // Throws CSocketLibException(0) when the thread cannot be created.
  virtual void Start();
  // Signals the stop event when running.
  virtual void Stop();
  // Waits without limit for the finished event when running.
  virtual void WaitForEnd();

  bool IsRunning() const { return m_running.load(); }

  CWaitEvent& StopEvent() { return m_stopEvent; }
  CWaitEvent& FinishedEvent() { return m_runner.Finished(); }

 protected:
  CWaitEvent m_stopEvent;

 private:
  Platform::ThreadRunner m_runner;
  std::atomic<bool> m_running{false};
};

#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// Runs the tasks posted to it one at a time, in the order they were posted, on a thread of its
// own (started with the first task, idle on a condition variable while there is nothing to do).
// A task may wait as long as it needs: what is posted meanwhile waits behind it, and nobody else
// is held up. Stop drops the tasks not yet started and waits for the one running to end (after
// telling it to, through `interrupt`, when one waits); a stopped worker drops what is posted
// until it is started again. Stop and Restart are never called from a task.
class SerialWorker {
 public:
  using Task = std::function<void()>;

  SerialWorker() = default;
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;
  ~SerialWorker() { Stop(); }

  // False (the task dropped) once stopped.
  bool Post(Task task);
  void Stop(const std::function<void()>& interrupt = {});
  void Restart();

 private:
  void Run();

  std::mutex m_stopLock;  // one Stop at a time; taken before m_lock
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Task> m_tasks;
  bool m_stopped = false;
  std::thread m_thread;
};

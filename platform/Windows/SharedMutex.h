#pragma once

namespace Platform {

// A lock that many readers may hold at once, or one writer: the system's slim reader/writer
// lock. (std::shared_mutex is winpthreads' rwlock with mingw-w64, built of mutexes and
// condition variables and initialised lazily on first use; the system's lock is one word that
// needs neither.) Not recursive; usable with std::unique_lock and std::shared_lock.
class SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  void* m_lock = nullptr;  // an SRWLOCK, SRWLOCK_INIT being all zeros
};

}  // namespace Platform

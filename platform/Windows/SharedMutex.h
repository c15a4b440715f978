#pragma once

namespace Platform {

// A lock that many readers may hold at once, or one writer: the system's slim reader/writer
// lock. Not std::shared_mutex: with mingw-w64 that is winpthreads' rwlock, set up on its first
// use, and a first use by a reader and a writer at once can fail (EINVAL), after which
// std::shared_mutex goes on without holding the lock (a reader then met a writer reallocating
// the RDF graph's triples, and read freed memory). Not recursive; usable with std::unique_lock
// and std::shared_lock.
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

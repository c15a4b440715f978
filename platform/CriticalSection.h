#pragma once
#include <mutex>

// A recursive lock: the same thread may take it again, as the service's code re-enters.
class CSCriticalSection {
 public:
  CSCriticalSection() = default;
  CSCriticalSection(const CSCriticalSection&) = delete;
  CSCriticalSection& operator=(const CSCriticalSection&) = delete;
  virtual ~CSCriticalSection() = default;

  void Lock() { m_mutex.lock(); }
  void Unlock() { m_mutex.unlock(); }
  // For std::lock_guard / std::unique_lock.
  void lock() { m_mutex.lock(); }
  void unlock() { m_mutex.unlock(); }
  bool try_lock() { return m_mutex.try_lock(); }

 private:
  std::recursive_mutex m_mutex;
};

// Holds a CSCriticalSection for the life of the scope.
class CCriticalSectionProtectScope {
 public:
  explicit CCriticalSectionProtectScope(CSCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
  ~CCriticalSectionProtectScope() { m_cs.Unlock(); }
  CCriticalSectionProtectScope(const CCriticalSectionProtectScope&) = delete;
  CCriticalSectionProtectScope& operator=(const CCriticalSectionProtectScope&) = delete;

 private:
  CSCriticalSection& m_cs;
};

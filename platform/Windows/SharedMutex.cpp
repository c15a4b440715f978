#include "platform/Windows/SharedMutex.h"

#include <windows.h>

namespace Platform {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRWLOCK is one pointer");

PSRWLOCK LockOf(void** word) { return reinterpret_cast<PSRWLOCK>(word); }

}  // namespace

void SharedMutex::lock() { ::AcquireSRWLockExclusive(LockOf(&m_lock)); }
bool SharedMutex::try_lock() { return ::TryAcquireSRWLockExclusive(LockOf(&m_lock)) != FALSE; }
void SharedMutex::unlock() { ::ReleaseSRWLockExclusive(LockOf(&m_lock)); }
void SharedMutex::lock_shared() { ::AcquireSRWLockShared(LockOf(&m_lock)); }
bool SharedMutex::try_lock_shared() { return ::TryAcquireSRWLockShared(LockOf(&m_lock)) != FALSE; }
void SharedMutex::unlock_shared() { ::ReleaseSRWLockShared(LockOf(&m_lock)); }

}  // namespace Platform

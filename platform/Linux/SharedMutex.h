#pragma once
#include <shared_mutex>

namespace Platform {

// A lock that many readers may hold at once, or one writer: glibc's rwlock.
using SharedMutex = std::shared_mutex;

}  // namespace Platform

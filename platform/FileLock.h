#pragma once
#include <cstdint>
#include <string>

namespace Platform {

// An exclusive lock on a file (created when missing), held for the object's life: two
// processes that rewrite one store take turns through it. Not held when the file cannot be
// opened or locked; Error() then says why.
class FileLock {
 public:
  // Block waits for the lock; Try gives up at once when another process holds it.
  enum class Wait { Block, Try };
  explicit FileLock(const std::string& path, Wait wait = Wait::Block);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return m_handle != -1; }
  // Not held because another process holds it (Try only).
  bool HeldElsewhere() const { return m_elsewhere; }
  const std::string& Error() const { return m_error; }

 private:
  intptr_t m_handle = -1;  // a descriptor, or a HANDLE (INVALID_HANDLE_VALUE is -1 too)
  std::string m_error;
  bool m_elsewhere = false;
};

}  // namespace Platform

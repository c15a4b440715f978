#pragma once
#include <cstdint>
#include <string>

namespace Platform {

// An exclusive lock on a file (created when missing), held for the object's life: two
// processes that rewrite one store take turns through it. Not held when the file cannot be
// opened or locked; Error() then says why.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return m_handle != -1; }
  const std::string& Error() const { return m_error; }

 private:
  intptr_t m_handle = -1;  // a descriptor, or a HANDLE (INVALID_HANDLE_VALUE is -1 too)
  std::string m_error;
};

}  // namespace Platform

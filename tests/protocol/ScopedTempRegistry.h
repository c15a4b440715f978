#pragma once
// A registry store file of its own for the process (tests and benchmarks), removed with its
// lock file when it goes.
#include <stdlib.h>
#include <unistd.h>

#include <string>

class ScopedTempRegistry {
 public:
  ScopedTempRegistry() {
    char path[] = "/tmp/ovanta-registry-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    m_path = path;
    setenv("OVANTA_REGISTRY", m_path.c_str(), 1);
  }
  ~ScopedTempRegistry() {
    unsetenv("OVANTA_REGISTRY");
    unlink(m_path.c_str());
    unlink((m_path + ".lock").c_str());  // the store's lock file beside it
  }
  ScopedTempRegistry(const ScopedTempRegistry&) = delete;
  ScopedTempRegistry& operator=(const ScopedTempRegistry&) = delete;

 private:
  std::string m_path;
};

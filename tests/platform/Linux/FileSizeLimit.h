#pragma once
// A disk that takes no more than so many bytes a file, for a test: the process's file size limit.
#include <sys/resource.h>

#include <csignal>

// The file size limit of the process, for as long as it lives: what a disk that takes no more
// than that does to the files written meanwhile (a write past it fails, SIGXFSZ ignored).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    m_set = getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    m_set = m_set && setrlimit(RLIMIT_FSIZE, &limit) == 0;
    m_handler = std::signal(SIGXFSZ, SIG_IGN);
  }
  ~FileSizeLimit() {
    if (m_set) setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_handler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Set() const { return m_set; }

 private:
  rlimit m_saved{};
  bool m_set = false;
  void (*m_handler)(int) = SIG_DFL;
};

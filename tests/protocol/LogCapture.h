#pragma once
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "log/Logger.h"

// Installs a process-wide logger writing every category to a temporary file for the life of
// the object; Lines() closes it and answers the messages written.
class LogCapture {
 public:
  LogCapture() {
    char path[] = "/tmp/ovanta-log-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    m_path = path;
    m_logger = std::make_unique<CLogger>(nullptr);
    m_logger->Open(m_path);
    m_logger->SetMask(kLogMilestone | kLogPacket | kLogRawData | kLogDiagnostic);
    g_pLogger.store(m_logger.get());
  }
  ~LogCapture() {
    g_pLogger.store(nullptr);
    m_logger.reset();
    unlink(m_path.c_str());
  }

  // Message texts (the part after " - ") of every line written; the first call ends the capture.
  std::vector<std::string> Lines() {
    if (!m_logger) return m_lines;
    g_pLogger.store(nullptr);
    m_logger->Close();
    m_logger.reset();
    std::ifstream in(m_path);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t at = line.find(") - ");
      m_lines.push_back(at == std::string::npos ? line : line.substr(at + 4));
    }
    return m_lines;
  }

  // How many lines begin with the given text (ends the capture).
  size_t Count(const std::string& prefix) {
    const std::vector<std::string> lines = Lines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; }));
  }

 private:
  std::string m_path;
  std::unique_ptr<CLogger> m_logger;
  std::vector<std::string> m_lines;
};

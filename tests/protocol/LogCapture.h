#pragma once
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "log/Logger.h"

// Installs a process-wide logger writing every category to a temporary file for the life of
// the object. The first call of Lines() or Count() ends the capture.
class LogCapture {
 public:
  LogCapture() {
    char path[] = "/tmp/ovanta-log-XXXXXX";
    close(mkstemp(path));
    m_path = path;
    m_logger = std::make_unique<CLogger>(nullptr);
    m_logger->Open(m_path);
    m_logger->SetMask(kLogMilestone | kLogPacket | kLogRawData | kLogDiagnostic);
    g_pLogger.store(m_logger.get());
  }
  ~LogCapture() {
    Lines();
    unlink(m_path.c_str());
  }

  // Message texts (the part after " - ") of every line written.
  std::vector<std::string> Lines() {
    if (!m_logger) return m_lines;
    g_pLogger.store(nullptr);
    m_logger.reset();
    std::ifstream in(m_path);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t at = line.find(") - ");
      m_lines.push_back(at == std::string::npos ? line : line.substr(at + 4));
    }
    return m_lines;
  }
  // The lines that hold the text anywhere.
  std::vector<std::string> Containing(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : Lines())
      if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
  }
  // How many lines begin with the given text.
  size_t Count(const std::string& prefix) {
    Lines();
    return static_cast<size_t>(
        std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

 private:
  std::string m_path;
  std::unique_ptr<CLogger> m_logger;
  std::vector<std::string> m_lines;
};

#pragma once
#include <mutex>
#include <vector>

#include "text/StringBuffer.h"

// The ports whose receivers asked to be reset. Receivers queue them from their own threads,
// possibly while an open or a close waits for those threads: its lock is held only for the
// copy or change, and nothing is called under it.
class CResetQueue {
 public:
  void Push(const Voxlet::StringBuffer& portName);
  std::vector<Voxlet::StringBuffer> Ports() const;
  // Takes the first entry for the port out of the queue.
  void Remove(const Voxlet::StringBuffer& portName);

 private:
  mutable std::mutex m_lock;
  std::vector<Voxlet::StringBuffer> m_ports;
};

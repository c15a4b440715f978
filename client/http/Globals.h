#pragma once
#include <memory>

namespace Voxlet {

namespace Detail {
class Engine;
}

// The client library's process-wide object: create one before the first Client and keep it for
// the life of the process' use of the library. It owns the library's threads (the ones every
// client's I/O, signals and completion handlers run on) and sets up the XML platform.
// Clients that outlive it keep the threads running until the last of them is gone.
class Globals {
 public:
  Globals();
  Globals(const Globals&) = delete;
  Globals& operator=(const Globals&) = delete;
  ~Globals();

  // True while a Globals exists.
  static bool Exists();
  // Number of library threads.
  static constexpr int kThreads = 2;

 private:
  std::shared_ptr<Detail::Engine> m_engine;
};

}  // namespace Voxlet

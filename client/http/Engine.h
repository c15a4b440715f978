#pragma once
// Internal to the client library: the io_context and its thread pool behind Globals.
#include <boost/asio/io_context.hpp>
#include <memory>
#include <thread>
#include <vector>

namespace Voxlet::Detail {

class Engine {
 public:
  explicit Engine(int threads);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  boost::asio::io_context& Io() { return m_io; }
  // True on one of the pool's threads.
  bool OnPoolThread() const;

  // The engine of the live Globals, or null.
  static std::shared_ptr<Engine> Current();
  // Creates the process' engine; null when one is already registered.
  static std::shared_ptr<Engine> Register(int threads);
  static void Unregister();

  // Stops the pool and joins it; from a pool thread the engine is retired instead, and joined
  // by JoinRetired.
  static void Destroy(Engine* engine);
  // Joins and deletes the retired engines (Globals does it as it comes and goes, and the
  // process at exit).
  static void JoinRetired();
  // Engines not yet deleted.
  static int LiveCount();

 private:
  ~Engine();

  boost::asio::io_context m_io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
  std::vector<std::thread> m_threads;
};

}  // namespace Voxlet::Detail

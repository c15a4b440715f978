#include "client/http/Globals.h"

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <mutex>
#include <stdexcept>

#include "client/XmlPlatform.h"
#include "client/http/Engine.h"

namespace Voxlet {

namespace Detail {

namespace {
std::mutex g_engineLock;
std::weak_ptr<Engine> g_engine;
bool g_registered = false;
// Engines whose last owner let go on one of their own threads: stopped, their threads still
// to be joined. Joined by the next Globals to come or go, or at the latest when the process
// ends, never by a thread of their own.
std::vector<Engine*> g_retired;
std::atomic<int> g_live{0};

struct RetiredAtExit {
  ~RetiredAtExit() { Engine::JoinRetired(); }
} g_retiredAtExit;
}  // namespace

Engine::Engine(int threads) : m_work(boost::asio::make_work_guard(m_io)) {
  ++g_live;
  for (int i = 0; i < threads; ++i) m_threads.emplace_back([this] { m_io.run(); });
}

Engine::~Engine() { --g_live; }

int Engine::LiveCount() { return g_live.load(); }

void Engine::JoinRetired() {
  std::vector<Engine*> retired;
  {
    std::lock_guard lock(g_engineLock);
    retired.swap(g_retired);
  }
  for (Engine* engine : retired) {
    for (std::thread& t : engine->m_threads) t.join();
    delete engine;
  }
}

bool Engine::OnPoolThread() const {
  for (const std::thread& t : m_threads)
    if (t.get_id() == std::this_thread::get_id()) return true;
  return false;
}

std::shared_ptr<Engine> Engine::Current() {
  std::lock_guard lock(g_engineLock);
  return g_registered ? g_engine.lock() : nullptr;
}

std::shared_ptr<Engine> Engine::Register(int threads) {
  JoinRetired();
  std::lock_guard lock(g_engineLock);
  if (g_registered) return nullptr;
  std::shared_ptr<Engine> engine(new Engine(threads), &Engine::Destroy);
  g_engine = engine;
  g_registered = true;
  return engine;
}

void Engine::Unregister() {
  std::lock_guard lock(g_engineLock);
  g_registered = false;
  g_engine.reset();
}

void Engine::Destroy(Engine* engine) {
  engine->m_work.reset();
  engine->m_io.stop();
  if (!engine->OnPoolThread()) {
    for (std::thread& t : engine->m_threads) t.join();
    delete engine;
    return;
  }
  // The last client went away inside one of its own handlers: this thread cannot join itself.
  std::lock_guard lock(g_engineLock);
  g_retired.push_back(engine);
}

}  // namespace Detail

Globals::Globals() : m_engine(Detail::Engine::Register(kThreads)) {
  if (!m_engine) throw std::logic_error("Voxlet::Globals already exists");
  XmlPlatform::Init();
}

Globals::~Globals() {
  Detail::Engine::Unregister();
  m_engine.reset();
  Detail::Engine::JoinRetired();
}

bool Globals::Exists() { return Detail::Engine::Current() != nullptr; }

}  // namespace Voxlet

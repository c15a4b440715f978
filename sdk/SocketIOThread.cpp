#include "sdk/SocketIOThread.h"

#include <algorithm>

#include "platform/SocketExceptions.h"

CSocketIOThread::CSocketIOThread(CIncomingMessageQueueIntf& incoming)
    : m_incoming(incoming), m_scratch(CMessagingSocket::kMaxSendChunk) {}

CSocketIOThread::~CSocketIOThread() {
  Stop();
  WaitForEnd();
  std::lock_guard<std::mutex> guard(m_lock);
  for (auto& socket : m_connections) socket->CloseSocket();
  for (auto& socket : m_retired) socket->CloseSocket();
}

bool CSocketIOThread::AddConnection(const std::shared_ptr<CMessagingSocket>& socket) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_connections.size() >= kMaxConnections) {
    DiagnosticLog("CSocketIOThread::AddConnection: connection refused: %zu connections are served already.",
                  m_connections.size());
    return false;
  }
  if (!socket->Join(this)) return false;
  socket->m_served = true;
  m_connections.push_back(socket);
  // Posted under the lock, so before anything this thread reads from the connection.
  if (auto object = socket->ConnectedObject()) m_incoming.PostConnected(std::move(object));
  m_wake.Set();
  return true;
}

size_t CSocketIOThread::ConnectionCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_connections.size();
}

void CSocketIOThread::NotifySend(std::shared_ptr<CMessagingSocket> socket) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_sendPending.push_back(std::move(socket));
  m_wake.Set();
}

void CSocketIOThread::RemoveConnection(const std::shared_ptr<CMessagingSocket>& socket) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (!socket->m_served) return;
  Detach(socket);
  m_retired.push_back(socket);
  PostClosed(socket);
  m_wake.Set();
}

void CSocketIOThread::ResumeReading() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_wake.Set();  // the wait list is rebuilt with the connection read again
}

void CSocketIOThread::Detach(const std::shared_ptr<CMessagingSocket>& socket) {
  socket->m_served = false;
  std::erase(m_connections, socket);
}

void CSocketIOThread::PostClosed(const std::shared_ptr<CMessagingSocket>& socket) {
  if (auto object = socket->ConnectedObject()) m_incoming.PostConnectionClosed(std::move(object));
}

void CSocketIOThread::Drop(const std::shared_ptr<CMessagingSocket>& socket) {
  Detach(socket);
  socket->CloseSocket();
  PostClosed(socket);
}

void CSocketIOThread::Serve(const std::shared_ptr<CMessagingSocket>& socket, SocketEvents flags) {
  try {
    if (HasAny(flags, SocketEvents::kReadable | SocketEvents::kClosed)) {
      std::vector<MessageBufferPtr> frames;
      socket->ProcessIncoming(m_scratch, frames);
      if (!frames.empty()) {
        auto object = socket->ConnectedObject();
        for (auto& frame : frames) {
          if (!object) break;
          socket->FramePosted(*frame);
          m_incoming.PostIncomingData(object, std::move(frame));
        }
      }
    }
    if (HasAny(flags, SocketEvents::kWritable)) socket->ProcessOutgoing();
  } catch (const CExceptionBase& e) {
    e.Report();
    Drop(socket);
  }
}

void CSocketIOThread::FlushPendingSends() {
  std::vector<std::shared_ptr<CMessagingSocket>> pending;
  pending.swap(m_sendPending);
  for (const auto& socket : pending)
    if (socket->m_served) Serve(socket, SocketEvents::kWritable);
}

void CSocketIOThread::Run() {
  std::vector<Platform::WaitHandle> handles;
  std::vector<std::shared_ptr<CMessagingSocket>> watched;
  size_t rotation = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (auto& socket : m_retired) socket->CloseSocket();
      m_retired.clear();
      // Start the connections at a different one each round, so that a busy connection
      // early in the list cannot keep the others waiting.
      watched = m_connections;
      if (!watched.empty())
        std::rotate(watched.begin(), watched.begin() + (rotation++ % watched.size()), watched.end());
    }
    handles.clear();
    handles.push_back(Platform::WaitHandle::Of(m_stopEvent));
    handles.push_back(Platform::WaitHandle::Of(m_wake));
    for (const auto& socket : watched) {
      Platform::WaitHandle handle = socket->Event()->Handle();
      // Not read while its handler is behind; a close is still seen.
      if (socket->ReadingPaused()) handle.events = static_cast<short>(handle.events & ~POLLIN);
      handles.push_back(handle);
    }

    short revents = 0;
    const int index = Platform::WaitForAny(handles, -1, &revents);
    m_wakeups.fetch_add(1);
    if (index == 0) break;
    if (index < 0) {
      DiagnosticLog(
          "CSocketIOThread::Run(): Timed out or an error occured in CThreadBase::WaitForEvents (error %d).  Stopping "
          "thread.",
          index);
      break;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (index == 1) {
      m_wake.Reset();
      FlushPendingSends();
      continue;
    }
    const size_t connection = static_cast<size_t>(index - 2);
    if (connection >= watched.size()) {
      DiagnosticLog("CSocketIOThread::Run(): Event number out of range (event %d).  Stopping thread.\n", index);
      break;
    }
    const auto& socket = watched[connection];
    if (socket->m_served) Serve(socket, socket->Event()->Translate(revents));
  }
  watched.clear();
}

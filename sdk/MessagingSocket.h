#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/WaitEvent.h"
#include "sdk/Message.h"
#include "sdk/ThreadedSocket.h"

class CConnectedObjectBase;
class CMessagingSocket;

// The socket I/O thread as a connection sees it.
class COutgoingMessageQueueIntf {
 public:
  virtual ~COutgoingMessageQueueIntf() = default;
  // The connection has queued a frame: send it.
  virtual void NotifySend(std::shared_ptr<CMessagingSocket> socket) = 0;
  // The connection is closed by its owner: stop serving it.
  virtual void RemoveConnection(const std::shared_ptr<CMessagingSocket>& socket) = 0;
  // The connection's handler has caught up: read it again.
  virtual void ResumeReading() = 0;
};

// One TCP connection of the messaging layer: its send queue, its frame reader and writer.
//
// Until it joins the socket I/O thread the connection belongs to the thread that set it up
// (the handshake), which also closes its descriptor. Once joined, only the I/O thread touches
// the socket; other threads queue frames (SendMessage) and close it (Close), and the I/O
// thread closes the descriptor itself, once, so that no descriptor is closed while it is
// being waited on, nor closed again after the system has handed its number on.
class CMessagingSocket : public std::enable_shared_from_this<CMessagingSocket> {
 public:
  // At most this much of a frame goes into one send call.
  static constexpr size_t kMaxSendChunk = 65536;
  // The longest message body a connection takes or sends. A peer announcing a longer one is
  // dropped as soon as its length is in; the reader's buffer grows with the bytes that
  // arrive, never ahead of them, so a connection holds at most what its peer has sent.
  static constexpr uint32_t kMaxFrameLength = 1024 * 1024;
  // The most that may wait in a connection's send queue (the frame being sent not counted).
  // A peer that stops reading would otherwise make the queue grow with every broadcast; once
  // a frame would go past this bound the connection is dropped instead. Counted in bytes, not
  // frames, because frames range from 9 bytes to kMaxFrameLength: 4 MiB is four frames of
  // the largest size, or tens of thousands of receiver lists and log notices, far more than
  // a client that reads ever has waiting, on top of what the socket buffers hold.
  static constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
  // The most that may wait for the connection's handler. A peer that sends faster than its
  // messages are handled would otherwise fill the incoming-message queue; past this bound the
  // I/O thread stops reading the connection (the peer's sends then block) until the handler
  // has caught up. What is read in one go may go past it by one receive and one frame.
  static constexpr size_t kMaxUnhandledBytes = 4 * 1024 * 1024;

  // Takes the connection and creates its event (which makes it non-blocking).
  explicit CMessagingSocket(std::unique_ptr<CThreadedSocket> socket);
  ~CMessagingSocket();
  CMessagingSocket(const CMessagingSocket&) = delete;
  CMessagingSocket& operator=(const CMessagingSocket&) = delete;

  void SetConnectedObject(const std::shared_ptr<CConnectedObjectBase>& object);
  std::shared_ptr<CConnectedObjectBase> ConnectedObject() const;
  CSocketEvent* Event() const { return m_socket->Event(); }
  int Handle() const { return m_socket->Handle(); }

  // Writes the message into a buffer and queues it; false when the connection is closed,
  // when the body is longer than kMaxFrameLength (nothing is queued, the connection stays),
  // or when the queue would hold more than kMaxQueuedBytes: then the queue is emptied and
  // the I/O thread drops the connection, reporting why.
  bool SendMessage(const MessageIntf& message);
  bool SendBuffer(MessageBufferPtr buffer);
  // Closes the connection: it leaves the I/O thread (which then reports it closed), or is
  // closed at once when it never joined. Later sends fail.
  void Close();
  bool IsClosed() const;

  // Moves exactly `length` bytes, waiting for the socket for at most timeoutMs in all (and
  // giving up when `abort` is set). False on time-out, on close, on abort or on an error
  // (which is logged).
  bool ReadFully(void* buffer, size_t length, int timeoutMs, const CWaitEvent* abort = nullptr);
  bool WriteFully(const void* buffer, size_t length, int timeoutMs, const CWaitEvent* abort = nullptr);
  // What moving bytes without waiting came to.
  enum class Transfer { kDone, kWouldBlock, kFailed };
  // Moves the buffer's bytes from `done` on (and counts them there) until all have moved or
  // the socket would block. kFailed when the peer closed, or on an error (which is logged).
  Transfer ReadAvailable(std::span<uint8_t> buffer, size_t& done);
  Transfer WriteAvailable(std::span<const uint8_t> buffer, size_t& done);

  // ---- the socket I/O thread's side ----
  // Joins the I/O thread; false when closed already.
  bool Join(COutgoingMessageQueueIntf* io);
  // Reads what has arrived (one receive call into scratch) and appends every completed frame.
  // Throws CSystemException on a receive error and CSocketLibException when the peer closed
  // or announced a frame longer than kMaxFrameLength.
  void ProcessIncoming(std::span<uint8_t> scratch, std::vector<MessageBufferPtr>& frames);
  // Sends queued frames until the queue is empty or the socket would block. Throws like
  // ProcessIncoming, and CSocketLibException when the queue overflowed.
  void ProcessOutgoing();
  // Marks the connection closed and closes its descriptor (I/O thread, or final clean-up).
  void CloseSocket();
  // Guarded by the I/O thread's lock: the connection is in its list.
  bool m_served = false;

  // ---- what the connection holds, readable from any thread ----
  // Bytes the frame reader holds for the frame being read.
  size_t ReadBufferCapacity() const { return m_readCapacity.load(); }
  // Bytes taken from the socket by ProcessIncoming since the connection joined, counted once
  // the reader has dealt with them.
  uint64_t BytesReceived() const { return m_bytesReceived.load(); }
  // Bytes of the frames queued and not yet being sent.
  size_t QueuedBytes() const;
  // Why the connection was dropped, when the peer broke a limit (a frame too long, a queue
  // it did not read); empty otherwise.
  std::string DropReason() const;
  // Bytes of the frames handed to the incoming-message queue and not handled yet.
  size_t UnhandledBytes() const { return m_unhandledBytes.load(); }
  bool ReadingPaused() const { return UnhandledBytes() >= kMaxUnhandledBytes; }
  // A frame read from the connection goes to its handler (I/O thread); the handler is done
  // with one (incoming-message thread), which resumes reading when that was paused.
  void FramePosted(const CMessageBuffer& frame);
  void FrameHandled(const CMessageBuffer& frame);

 private:
  bool WaitFor(short events, int timeoutMs, const CWaitEvent* abort);
  // Moves bytes with `step` (ReadAvailable or WriteAvailable), waiting for `events` in
  // between; see ReadFully.
  template <class Step>
  bool MoveFully(Step step, short events, int timeoutMs, const CWaitEvent* abort);
  // Marks the connection closed. Answers the I/O thread it was in (null when it never joined
  // one), or nothing when it was closed already.
  std::optional<COutgoingMessageQueueIntf*> MarkClosed();
  // Notes why the peer is dropped and throws the exception that drops it.
  [[noreturn]] void DropPeer(int code, std::string reason);
  // Appends body bytes to the frame being read, growing its buffer with them.
  void AppendBody(std::span<const uint8_t> data);

  std::unique_ptr<CThreadedSocket> m_socket;

  mutable std::mutex m_lock;  // guards everything up to the frame reader
  std::weak_ptr<CConnectedObjectBase> m_object;
  std::deque<MessageBufferPtr> m_sendQueue;
  size_t m_queuedBytes = 0;
  bool m_queueOverflowed = false;  // the I/O thread drops the connection
  COutgoingMessageQueueIntf* m_io = nullptr;
  bool m_closed = false;
  std::string m_dropReason;

  // Frame reader (I/O thread only): the prefix bytes so far, then the frame being filled
  // (room for the prefix, then the body bytes that have arrived) and its whole length.
  uint8_t m_prefix[CMessageBuffer::kPrefixSize] = {};
  size_t m_prefixFill = 0;
  bool m_inBody = false;
  std::vector<uint8_t> m_frame;
  size_t m_frameLength = 0;

  // Frame writer (I/O thread only): the frame being sent and how much of it went out.
  MessageBufferPtr m_writing;
  size_t m_written = 0;

  std::atomic<size_t> m_readCapacity{0};
  std::atomic<uint64_t> m_bytesReceived{0};
  std::atomic<size_t> m_unhandledBytes{0};
};

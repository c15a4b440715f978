#pragma once
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/CriticalSection.h"
#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "protocol/Frame.h"
#include "protocol/ReceiverCommands.h"
#include "text/StringBuffer.h"

// How a packet is queued: sent once, or sent again every retry interval until the receiver
// acknowledges it (at most kMaxSendCount times). A reply is sent once and goes ahead of queued
// pauses: an acknowledgement or an answer a clicker waits for leaves at once, whatever timed
// sequence is still running.
enum class Delivery { kOnce, kRetry, kReply };
// The network state a receiver is told to take.
enum class NetworkState : uint8_t { kStop = 0, kStart = 1 };
// What a session end asks of the clickers.
enum class SessionEndMode : uint8_t {
  kReview = 0,     // the question is over: show its review
  kEndReview = 1,  // the review or the assessment is over
  kPowerDown = 2,  // the class is over: switch off
};
// The login flags of the receiver's network.
struct LoginFlags {
  bool loginRequired = false;
  bool loginTrigger = false;
  bool teamTrigger = false;
};

// An outgoing packet waiting in the send queue.
struct CQueuedPacket {
  static constexpr uint32_t kSendOnce = 0xFFFFFFFF;
  std::shared_ptr<uint8_t[]> data;
  int32_t length = 0;
  uint32_t lastSendTime = 0;  // 0 not sent yet, kSendOnce send-once, else tick of the last send
  int32_t sendCount = 0;
  // A pause in the queue instead of a packet: nothing behind it goes out until it has lasted
  // this long from the moment it reached the front (then lastSendTime is that tick).
  uint32_t pauseMs = 0;
  bool reply = false;  // queued ahead of every pause (Delivery::kReply)
};

// An acknowledged, decoded packet waiting for the dispatcher.
struct IncomingRecord {
  uint8_t command = 0;
  uint16_t address = 0;
  int32_t payloadLength = 0;
  std::array<uint8_t, ReceiverFrame::kMaxPayload> payload;
};

// Millisecond tick source; wraps at 32 bits. Tests inject their own clock.
using TickSource = std::function<uint32_t()>;

// Frames packets to and from one receiver, keeps its send queue (send-once and retried
// packets) and runs the dispatcher thread on which every incoming packet's handler runs.
class CReceiverProtocolHandler : public CThread {
 public:
  static constexpr uint32_t kRetryIntervalMs = 700;
  static constexpr int32_t kMaxSendCount = 7;
  static constexpr uint32_t kAckWaitMs = 400;
  static constexpr uint32_t kWaitForever = 0xFFFFFFFF;
  static constexpr uint32_t kJoinPauseMs = 100;
  // Incoming records waiting for the dispatcher; past this, clicker packets are left unanswered
  // (a clicker sends again until it is answered).
  static constexpr size_t kMaxIncoming = 512;
  // The receiver's own reports (status, scan results) are never sent again: they are kept past
  // kMaxIncoming, up to this bound against a device that floods its own reports.
  static constexpr size_t kMaxIncomingReports = 8192;

  explicit CReceiverProtocolHandler(IReceiverCommands* sink, TickSource clock = {});
  ~CReceiverProtocolHandler() override;

  // Appends a packet (a reply goes ahead of the queued pauses); false (with a log line) when it
  // cannot be framed, or once the receiver was told to stop its network for closing.
  bool QueuePacket(int32_t length, const uint8_t* bytes, Delivery delivery);
  // Holds every packet queued after this call back until `ms` have passed from the moment
  // the packets before it are gone: a timed sequence on the wire that no thread sleeps for.
  void QueuePause(uint32_t ms);
  // 1 a frame was written, 0 nothing written now, -1 the front packet was given up.
  int SendNextPacket();
  // Milliseconds the I/O loop may sleep before the next SendNextPacket; kWaitForever when idle.
  uint32_t GetNextSendDelay();
  void AddReceivedBytes(const uint8_t* bytes, size_t count);
  // An answer from the receiver: removes the queue front when it is a sent packet with this id.
  bool RemoveAckedCommand(uint8_t command);
  // Ends the dispatcher thread (Start comes from CThread), once it has handed over every record
  // it holds.
  void Stop();
  // Waits until the dispatcher has handed over every record queued before this call, or has
  // ended (false only when the time is up): what the radio acknowledged so far has reached its
  // handlers.
  bool WaitUntilDispatched(uint32_t timeoutMs);

  ReceiverService::CWaitEvent& SendEvent() { return m_sendEvent; }
  ReceiverService::CWaitEvent& IncomingEvent() { return m_incomingEvent; }

  // Moves every waiting incoming record out (the dispatcher's take; tests and benchmarks too).
  std::deque<IncomingRecord> TakeIncoming();
  // Runs the packet handler for one incoming record.
  void DispatchIncoming(const IncomingRecord& record);

  // Receiver commands; each builds one packet and queues it.
  void QueryFirmwareInfo();
  void SetNetworkState(NetworkState state, Delivery delivery);
  void ReplyNetworkState(uint16_t address);
  void SetClassName(const std::string& name);
  void SetLoginRequirement(LoginFlags flags);
  void QueryLoginRequirement();
  void SendLoginGrant(uint16_t address, bool grant, const Voxlet::StringBuffer& studentName);
  void SendLoginGrantReply(uint16_t address);
  void SendLoginOff(uint16_t address);
  void SendHandUpReply(uint16_t address);
  void SetChannel(uint8_t channelIndex);
  void SendSessionEnd(uint16_t address, SessionEndMode mode, Delivery delivery);
  void QueryScanResults(uint16_t channelMask);
  void QueryMacAddress();
  void StartBackgroundScan(uint16_t channelMask, uint8_t activeDuration, uint8_t energyDuration);
  void QueryProductCode();

  size_t SendQueueSize();
  // Drops every packet still waiting to go out (the receiver is closing).
  void ClearSendQueue();
  // The receiver is closing: drops what is still queued and sends the network stop at once. It
  // is the last frame the receiver gets: every packet queued after it is refused.
  void SendClosingNetworkStop();
  const std::string& Name() const { return m_name; }

 protected:
  unsigned Run() override;

 private:
  // Whether the ack-wait rule holds this packet back now; sets waitLeft to the ms it has left.
  bool HeldByAckWait(const CQueuedPacket& packet, uint32_t now, uint32_t* waitLeft) const;
  void EraseAckWait(uint8_t command);
  // The packet as queued, or null (said in a log line) when it cannot be framed.
  std::shared_ptr<CQueuedPacket> MakePacket(int32_t length, const uint8_t* bytes, Delivery delivery) const;
  // QueuePacket's step under the send lock: false once the network was stopped for closing;
  // *wake when the I/O loop is to look at the queue now.
  bool EnqueueLocked(const std::shared_ptr<CQueuedPacket>& packet, bool* wake);
  // SendNextPacket's step under the send lock.
  int SendNextPacketLocked();
  static std::array<uint8_t, 4> NetworkStatePacket(NetworkState state);
  // Queues a reply just ahead of the first pause (at the back when none is queued); true when it
  // is now the front (caller holds m_sendLock).
  bool InsertAheadOfPauses(const std::shared_ptr<CQueuedPacket>& packet);
  void TakeFrame(const uint8_t* frame, size_t length);
  void HandleDecoded(const uint8_t* packet, int32_t length);
  void AcknowledgeClicker(uint8_t command);
  void QueueBytes(std::initializer_list<uint8_t> bytes, Delivery delivery);
  void DispatchPropertyQuery(const IncomingRecord& record);
  void DispatchNack(const IncomingRecord& record);
  void DispatchJoin(const IncomingRecord& record);
  void DispatchEnhancedAnswer(const IncomingRecord& record);
  void DispatchScanResults(const IncomingRecord& record);
  void DispatchLoginOff(const IncomingRecord& record);

  IReceiverCommands* m_sink;
  TickSource m_clock;
  std::string m_name;  // UTF-8, for log lines

  // Receive buffer: the bytes of a frame whose delimiter has not arrived. Only the I/O loop
  // uses it.
  std::vector<uint8_t> m_receive;
  std::vector<uint8_t> m_decodeScratch;

  // The send lock guards m_sendQueue, m_ackWait, m_frameScratch and m_closed. It is taken again
  // by the thread that holds it on one path only, a LOGIN_OFF's answer (DispatchLoginOff queues it
  // under the lock it already holds, so that nothing queued for that clicker meanwhile goes
  // first); hence a recursive lock. Lock order: the session's locks and the receiver's command
  // lock come before it (nothing here calls into the session with it held); taken under it, and
  // only under it: the logger's (OV_LOG), the send event's, and the link's outgoing-queue lock
  // (SendNextPacketLocked writes a frame through IReceiverCommands::SendBytes, which pushes it on
  // the link's CTwoThreadIOQueue).
  CSCriticalSection m_sendLock;
  std::deque<std::shared_ptr<CQueuedPacket>> m_sendQueue;
  std::map<uint8_t, uint32_t> m_ackWait;
  const std::set<uint8_t> m_ackWaitCommands;
  std::vector<uint8_t> m_frameScratch;  // under m_sendLock
  bool m_closed = false;                // the closing network stop was sent; under m_sendLock

  CSCriticalSection m_incomingLock;  // guards m_incoming and the two full flags
  std::deque<IncomingRecord> m_incoming;
  bool m_incomingFull = false;  // the full queue was logged: once per time it fills
  bool m_reportsFull = false;   // likewise for the receiver's own reports
  uint64_t m_queued = 0;        // records queued so far

  // The dispatcher's progress: records handed over so far, and whether it has ended (a leaf).
  std::mutex m_dispatchLock;
  std::condition_variable m_dispatchProgress;
  uint64_t m_dispatched = 0;
  bool m_dispatcherEnded = false;

  ReceiverService::CWaitEvent m_sendEvent;
  ReceiverService::CWaitEvent m_incomingEvent;
  ReceiverService::CWaitEvent m_stopEvent;
};

// True when the logger exists and would write lines of these categories (packet dumps are
// only built then).
bool LogWanted(uint16_t flags);

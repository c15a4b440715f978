#pragma once
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "connections/LinkThread.h"

// The Windows link thread: the device is a handle opened for overlapped I/O. The thread keeps
// one read outstanding whenever the device can be read, one write whenever a packet waits,
// and waits for any of its events, the read's and the write's completion events among them.
class CThreadedPort : public CLinkThread {
 public:
  // Bytes one read asks for.
  static constexpr DWORD kReadSize = 2048;

  CThreadedPort() = default;
  ~CThreadedPort() override;

 protected:
  void Run() override;

  // Closes m_handle (under m_portLock); no I/O is outstanding any more.
  virtual void DoClose() = 0;
  // The device's overlapped operations on m_handle: ReadFile, WriteFile, GetOverlappedResult
  // and CancelIoEx, unless a kind of device reaches its bytes another way (a driver's requests).
  virtual BOOL BeginRead(void* buffer, DWORD size, DWORD* got, OVERLAPPED* overlapped);
  virtual BOOL BeginWrite(const void* bytes, DWORD size, DWORD* written, OVERLAPPED* overlapped);
  virtual BOOL EndIo(OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
  virtual void CancelIo(OVERLAPPED* overlapped);
  // What the loop's reads ask for, and what becomes of the bytes a read brought (serial links:
  // a received packet, stored not raw).
  virtual DWORD ReadSize() const { return kReadSize; }
  virtual void TakeRead(const uint8_t* bytes, DWORD got);
  // The bytes a queued packet is written as; empty when it is not written (serial links: its
  // payload, and nothing for a flagged packet).
  virtual std::span<const uint8_t> WriteBytes(const CSBIOPacket& packet);
  // Called after each read that failed (not one that ended empty, nor a device gone).
  virtual void OnReadFailed() {}
  // How long the read side waits after a failed or empty read before it reads again.
  virtual int ReadRetryMs() const { return 1000; }

  // For the routines run between reads (detection, the Plug and Play identifier): ends the
  // outstanding read (its bytes go, as a purge's would) and lets an outstanding write finish.
  // True when a read was outstanding.
  bool QuiesceIo();
  // Writes all bytes within timeoutMs; false when they did not all go (or the thread stops).
  bool WriteAll(std::span<const uint8_t> bytes, int timeoutMs);
  // Reads up to count bytes, waiting at most timeoutMs for them (less when told to stop).
  std::vector<uint8_t> ReadFor(size_t count, int timeoutMs);

  HANDLE m_handle = INVALID_HANDLE_VALUE;
  // Guards m_handle against other threads' line-setting calls while it closes.
  std::mutex m_portLock;

 private:
  enum class IoEnd { kDone, kTimedOut, kStopped };

  // Starts reads until one is outstanding; false when the read side failed.
  bool StartRead();
  // A read's error: a device gone is lost; any other failure but a cancel is counted.
  void ReadFailed(DWORD error);
  // Collects the outstanding read; false when the read side failed.
  bool CollectRead();
  // Starts writes of the queued packets until one is outstanding or none is left.
  void PumpWrites();
  void CollectWrite();
  // A write's result: what remains of the packet goes on, unless nothing went or it failed.
  void AfterWrite(BOOL ok, DWORD written, DWORD error);
  // Ends outstanding I/O before the handle closes; a device still there gets a second to take
  // a write that is on its way.
  void FinishIo();
  // Waits for an overlapped operation on `done` until timeoutMs or stop; on either it is
  // cancelled. Its result is in *transferred and the answer of GetOverlappedResult.
  IoEnd WaitForIo(OVERLAPPED* overlapped, const CWaitEvent& done, int timeoutMs);
  // Takes the result of an operation that has ended (or ends now, when cancelled).
  BOOL IoResult(OVERLAPPED* overlapped, DWORD* transferred, bool cancel);

  // The overlapped operations' events (manual-reset event objects).
  CWaitEvent m_readDone;
  CWaitEvent m_writeDone;
  OVERLAPPED m_readOverlapped{};
  OVERLAPPED m_writeOverlapped{};
  bool m_readPending = false;
  bool m_writePending = false;
  std::vector<uint8_t> m_readBuffer;  // ReadSize() bytes, from the open
  // The packet being written: its bytes, reused and only grown (I/O thread only).
  std::vector<uint8_t> m_writeBuffer;
  size_t m_writeLength = 0;
  size_t m_writeOffset = 0;
};

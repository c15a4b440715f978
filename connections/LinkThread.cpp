#include "connections/LinkThread.h"

#include "connections/DetectionProbes.h"

std::error_code CLinkThread::OpenPort(const std::string& name) {
  if (IsRunning()) return m_open.load() && name == m_name ? Platform::Error::kAlreadyOpen : Platform::Error::kInUse;
  WaitForEnd();
  m_name = name;
  m_lost = false;
  m_opened.Reset();
  Start();
  m_opened.Wait(-1);
  std::error_code result;
  {
    std::lock_guard<std::mutex> guard(m_openResultLock);
    result = m_openResult;
  }
  if (result) WaitForEnd();
  return result;
}

void CLinkThread::ClosePort() {
  Stop();
  WaitForEnd();
}

bool CLinkThread::OpenOnThread() {
  // The pause gives a device that has just appeared time to settle.
  const std::error_code result = m_stopEvent.Wait(100) ? Platform::Error::kNotPresent : DoOpen(m_name);
  {
    std::lock_guard<std::mutex> guard(m_openResultLock);
    m_openResult = result;
  }
  m_open = !result;
  m_opened.Set();
  return !result;
}

bool CLinkThread::WaitForAnswer() {
  const Platform::WaitHandle handles[] = {Platform::WaitHandle::Of(m_requestDone),
                                          Platform::WaitHandle::Of(FinishedEvent())};
  return Platform::WaitForAny(handles, -1) == 0;
}

Voxlet::StringBuffer CLinkThread::RequestPnPId() {
  std::lock_guard<std::mutex> guard(m_requestLock);
  if (!IsRunning()) return {};
  m_requestDone.Reset();
  m_settingsRequest.Set();
  if (!WaitForAnswer()) return {};
  std::lock_guard<std::mutex> pnpGuard(m_pnpLock);
  return m_pnpId;
}

bool CLinkThread::RequestReset(bool pulse) {
  std::lock_guard<std::mutex> guard(m_requestLock);
  if (!IsRunning()) return false;
  m_resetPulse = pulse;
  m_requestDone.Reset();
  m_resetRequest.Set();
  return WaitForAnswer() && m_resetResult;
}

void CLinkThread::AnswerSettingsRequest() {
  m_settingsRequest.Reset();
  Voxlet::StringBuffer id = DoPnPId();
  {
    std::lock_guard<std::mutex> guard(m_pnpLock);
    m_pnpId = std::move(id);
  }
  m_requestDone.Set();
}

void CLinkThread::AnswerResetRequest() {
  m_resetRequest.Reset();
  m_resetResult = DoReset(m_resetPulse);
  m_requestDone.Set();
}

void CLinkThread::MarkLost() {
  if (m_lost.exchange(true)) return;
  // The consumer wakes, finds no packet and learns that the device is gone.
  m_queue.ReceivedEvent().Set();
}

bool CLinkThread::NextLine(LineSettings* settings) {
  LineSettings current;
  if (!GetLine(&current)) return false;
  // A line that cannot keep a parity (a pseudo-terminal) reads 9600 8O2 back as 9600 8N2: the
  // cycle goes on from the candidate it applied while the baud rate is still that one's.
  if (m_candidateStarted && current.baudRate == m_lastCandidate.baudRate) current = m_lastCandidate;
  const LineSettings next = m_candidateStarted ? NextCandidate(current) : FirstCandidate();
  m_candidateStarted = true;
  m_lastCandidate = next;
  if (!SetLine(next)) return false;
  *settings = next;
  return true;
}

bool CLinkThread::Detect(bool pulse, int settleMs, std::function<void(bool raised)> setRts,
                         std::function<bool(std::span<const uint8_t> bytes, int timeoutMs)> write,
                         std::function<std::vector<uint8_t>(size_t count, int timeoutMs)> read) {
  DetectionSteps steps;
  steps.nextLine = [this](LineSettings* applied) { return NextLine(applied); };
  steps.setLine = [this](const LineSettings& settings) { return SetLine(settings); };
  steps.setRts = std::move(setRts);
  steps.write = std::move(write);
  steps.read = std::move(read);
  steps.pause = [this](int ms) { return !m_stopEvent.Wait(ms); };
  steps.lost = [this] { return IsDeviceLost(); };
  steps.settleMs = settleMs;
  return DetectReceiver(steps, pulse);
}

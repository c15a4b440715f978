#pragma once
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Settings of a simulated receiver and its clickers.
struct SimulatorConfig {
  uint8_t firmware[3] = {2, 5, 17};
  uint16_t firmwareChecksum = 0xBEEF;
  int productCode = 0;  // -1: the query is refused with a NACK
  uint32_t macHigh = 0x00124B00;
  uint32_t macLow = 0x0A0B0C0D;
  uint8_t loginFlags = 0;  // bit 0 login required
  int clickers = 3;
  int scanMs = 150;                    // how long a background scan runs
  std::array<uint8_t, 16> energies{};  // per channel 11..26
  std::array<uint16_t, 16> panIds{};   // 0: no network seen on the channel
  // Line settings the receiver answers detection probes at; 0 answers none.
  uint32_t probeBaud = 57600;
  bool probeOddParityTwoStop = false;
};

// A receiver's firmware on a pseudo-terminal, with a population of clickers. The service
// opens the pty's slave path like a serial receiver.
class CReceiverSimulator {
 public:
  explicit CReceiverSimulator(SimulatorConfig config = {});
  ~CReceiverSimulator();

  // Creates the pty and starts answering; false when no pty can be made.
  bool Start();
  void Stop();
  // Closes the pty master as an unplugged receiver would vanish.
  void Unplug();
  const std::string& SlavePath() const { return m_slavePath; }

  // Every well-framed packet received, in order.
  std::vector<std::vector<uint8_t>> Received();
  // Waits (up to timeoutMs) until `match` holds for the packets received so far.
  bool WaitFor(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& match, int timeoutMs);
  // Received frames that failed the simulator's own decoder.
  int BadFrames();
  // The baud rate the line is set to (the service's side of the pty decides it).
  uint32_t LineBaud();

  // Receiver behaviour.
  void SendStatus(uint8_t status);
  void SendPacket(const std::vector<uint8_t>& packet);

  // Clicker behaviour (clicker i has short address 0x0100 + i and MAC low macLow + i).
  uint16_t ClickerAddress(int i) const { return static_cast<uint16_t>(0x0100 + i); }
  void JoinAll();
  void RaiseHand(int i, bool up);
  void ReportBattery(int i, bool low, uint8_t linkQuality);
  void Answer(int i, uint8_t question, const std::vector<uint8_t>& answer);
  // A multi-packet answer: ENHANCED_ANSWER_UPLOAD packets of at most `chunk` data bytes.
  void EnhancedAnswer(int i, uint8_t sequence, uint8_t question, const std::vector<uint8_t>& data, size_t chunk);
  void LogOff(int i);
  void Disassociate(int i);

  // Misbehaviour on request.
  std::atomic<bool> dropAnswers{false};  // answer no query at all
  std::atomic<bool> corruptChecksums{false};
  std::atomic<bool> splitFrames{false};     // write frames a byte at a time
  std::atomic<bool> silent{false};          // neither answer nor report
  std::atomic<bool> mismatchStatus{false};  // report idle while the network runs

 private:
  void Run();
  void HandleBytes(const uint8_t* bytes, size_t count);
  bool AnswerProbe(const std::vector<uint8_t>& raw);
  void HandlePacket(const std::vector<uint8_t>& packet);
  void HandleToClicker(uint16_t address, uint8_t command, const std::vector<uint8_t>& payload);
  void Write(const std::vector<uint8_t>& bytes);
  void FinishScanLater(uint16_t mask);

  SimulatorConfig m_config;
  int m_master = -1;
  int m_slaveKeep = -1;  // keeps the pty alive while the service has not opened it
  int m_wake[2] = {-1, -1};
  std::string m_slavePath;
  std::thread m_thread;
  std::vector<std::thread> m_timers;
  std::atomic<bool> m_running{false};

  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::vector<uint8_t>> m_received;
  std::vector<uint8_t> m_pending;
  int m_badFrames = 0;
  bool m_networkUp = false;
  std::atomic<uint8_t> m_loginFlags{0};
  uint8_t m_channel = 0;
  std::string m_className;
  std::mutex m_writeLock;
};

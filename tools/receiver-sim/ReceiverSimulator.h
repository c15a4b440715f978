#pragma once
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "AnswerLedger.h"
#include "ClickerAnswers.h"
#include "QuestionBatch.h"
#include "SimScheduler.h"

// Settings of a simulated receiver and its clickers.
struct SimulatorConfig {
  uint8_t firmware[3] = {2, 5, 17};
  uint16_t firmwareChecksum = 0xBEEF;
  int productCode = 0;  // -1: the query is refused with a NACK
  uint32_t macHigh = 0x00124B00;
  uint32_t macLow = 0x0A0B0C0D;
  uint8_t loginFlags = 0;              // bit 0 login required
  int clickers = 3;                    // clickers 0 .. clickers - 1 exist from the start (JoinAll joins them)
  int scanMs = 150;                    // how long a background scan runs
  std::array<uint8_t, 16> energies{};  // per channel 11..26
  std::array<uint16_t, 16> panIds{};   // 0: no network seen on the channel
  // Line settings the receiver answers detection probes at; 0 answers none.
  uint32_t probeBaud = 57600;
  bool probeOddParityTwoStop = false;
  // Data bytes per ENHANCED_ANSWER_UPLOAD packet of text and math answers.
  size_t enhancedChunk = 16;
  // Seed of the automatic mode's choices and delays; 0 seeds from the system.
  uint32_t seed = 0;
  // Canned answers of the automatic mode, where a question carries no correct answer.
  std::vector<std::string> shortAnswers = {"Paris", "Lyon", "Rome", "Nice"};
  std::vector<std::string> textAnswers = {"Plants make sugar from light", "Water and sunlight", "I am not sure",
                                          "Chlorophyll absorbs light"};
  std::vector<std::string> mathAnswers = {"x^{2}+1", "\\sqrt{2}", "\\frac{1}{2}", "2\xCF\x80r"};
  // When set, a symbolic link at this path names the pty: the receiver keeps its path when it
  // is plugged in again on a new pty (Replug), as a USB receiver keeps its device name.
  std::string linkPath;
  // When set, the receiver's line is this existing tty (the serial port of a USB gadget,
  // /dev/ttyGS<n>) instead of a new pty. Such a line has no speed of its own, so detection
  // probes are answered at any line setting; when it hangs up (the gadget unplugged, or reset
  // on resume) it is opened again.
  std::string ttyPath;
  // Typed answers (AnswerText) only from a clicker that is signed in and not in review, to a
  // question the receiver was sent, as a real clicker offers nothing else; others are refused.
  bool signedInOnly = false;
};

// How the automatic mode plays a class: clickers firstIndex .. firstIndex + count - 1 join
// with the student numbers firstStudent, firstStudent + 1, ... once the network runs, log in,
// and answer every question after a random delay.
struct AutoSettings {
  int firstIndex = 0;
  int firstStudent = 1001;
  int minDelayMs = 300;
  int maxDelayMs = 3000;
  int correctPercent = 60;  // chance of the correct answer where the question carries one
  bool answers = true;      // false: the clickers join and log in, and answer only when told
};

enum class ClickerState {
  Off,        // powered off (the service's power-down, or never switched on since)
  Idle,       // on, not in a class network
  Joined,     // joined; waits for the service's login grant (login required)
  Granted,    // grant received and confirmed; waits for the sign-in reply
  LoggedIn,   // signed in (or joined an anonymous class)
  Refused,    // the service refused the login
  LoggedOff,  // logged off by the service or by itself
};
const char* ToString(ClickerState state);

// One answer a clicker sent.
struct ClickerAnswer {
  uint64_t set = 0;  // the question set it answered (SimContent::QuestionSet::id)
  int question = 0;
  std::string kind;  // "choice", "number", "short", "text", "math" or "raw"
  std::string text;  // what was typed ("" for raw bytes)
  std::vector<uint8_t> bytes;
};

// The simulator's view of one clicker (copies are handed out).
struct ClickerInfo {
  int index = 0;
  uint16_t address = 0;
  uint32_t macHigh = 0, macLow = 0;
  ClickerState state = ClickerState::Idle;
  std::string studentNumber;  // the number it logs in with
  std::string studentName;    // the name in the service's login grant
  bool automatic = false;
  bool handUp = false;
  bool batteryLow = false;
  bool inReview = false;  // the service ended the questions (session end, mode 0)
  std::vector<ClickerAnswer> answers;
  std::vector<SimContent::StudentResults> results;  // review results, in arrival order
  uint8_t nextSequence = 0;

  bool joined() const {
    return state == ClickerState::Joined || state == ClickerState::Granted || state == ClickerState::LoggedIn;
  }
  bool loggedIn() const { return state == ClickerState::LoggedIn; }
  bool Answered(int question, uint64_t set) const;
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
  // The receiver is pulled out and plugged in again: a new pty is made and the link (when
  // configured) is pointed at it, then the old pty is closed, so that whoever held it sees it
  // hang up. The receiver comes back as from power-on: no network, no class name, no
  // questions, the clickers out of the class. Queued writes are lost. False when no new pty
  // can be made (the old one is kept then).
  bool Replug();
  // The receiver's firmware restarts on the same line (a watchdog reset): as from power-on, and
  // it reports its network idle.
  void Reboot();
  // The path to open: the link when configured, else the pty itself.
  std::string SlavePath() const;
  // The current pty's own path.
  std::string PtyPath() const;

  // Every well-framed packet received, in order.
  std::vector<std::vector<uint8_t>> Received();
  // Every packet sent (frames before any corruption), in order.
  std::vector<std::vector<uint8_t>> Sent();
  // Waits (up to timeoutMs, or until stopped) until `match` holds for the packets received so far.
  bool WaitFor(const std::function<bool(const std::vector<std::vector<uint8_t>>&)>& match, int timeoutMs);
  // Received frames that failed the simulator's own decoder.
  int BadFrames();
  // The baud rate the line is set to (the service's side of the pty decides it).
  uint32_t LineBaud();

  // Receiver behaviour.
  void SendStatus(uint8_t status);
  void SendPacket(const std::vector<uint8_t>& packet);
  // Frames every packet and writes them all with one write, as a burst arriving at once.
  void SendPackets(const std::vector<std::vector<uint8_t>>& packets);
  // Writes bytes as they are, unframed and unrecorded: line noise, broken or oversized frames.
  void SendRaw(std::vector<uint8_t> bytes);
  // Called on the writer thread once the last byte of each queued write is on the line: the
  // bytes written (one frame, or the frames of SendPackets, each ending in 0x00) and when.
  // Empty by default; the hook must not call back into the simulator.
  using WrittenHook = std::function<void(const std::vector<uint8_t>& bytes, std::chrono::steady_clock::time_point at)>;
  void OnWritten(WrittenHook hook);

  // Receiver state as the service set it.
  bool NetworkUp();
  uint8_t LoginFlags() const { return m_loginFlags.load(); }
  std::string ClassName();
  uint8_t Channel();
  // The questions the service sent (empty once a session end closed them).
  SimContent::QuestionSet Questions();
  // Broadcast data packets (command 0x26 to all clickers) received.
  int Broadcasts();

  // Clickers (clicker i has short address 0x0100 + i and MAC low macLow + i).
  uint16_t ClickerAddress(int i) const { return static_cast<uint16_t>(0x0100 + i); }
  std::optional<ClickerInfo> Clicker(int i);
  std::vector<ClickerInfo> Clickers();
  // Waits (up to timeoutMs) until `match` holds for the clickers (by index).
  bool WaitForClickers(const std::function<bool(const std::map<int, ClickerInfo>&)>& match, int timeoutMs);

  // Clicker behaviour.
  // Joins clickers 0 .. clickers - 1 (login required: student ids "1" and the index's last digit).
  void JoinAll();
  // Clicker i switches on, reports its status and joins: with the login-required join carrying
  // the student number when the receiver requires login and a number is known (given here or
  // before), with the plain join otherwise.
  // False when the number has characters other than digits, '-', '.', '/' or more than 16.
  bool Join(int i, const std::string& studentNumber = "");
  // Clicker i logs in with a typed student number (the login-required join, auto flag clear).
  bool Login(int i, const std::string& studentNumber);
  void RaiseHand(int i, bool up);
  void ReportBattery(int i, bool low, uint8_t linkQuality);
  // Raw answer bytes for a question number.
  void Answer(int i, uint8_t question, const std::vector<uint8_t>& answer);
  // A multi-packet answer: ENHANCED_ANSWER_UPLOAD packets of at most `chunk` data bytes.
  void EnhancedAnswer(int i, uint8_t sequence, uint8_t question, const std::vector<uint8_t>& data, size_t chunk);
  // Answers a question with typed text, encoded as `kind` asks (choice, number and short
  // answers in one packet, text and math in several). question 0 = the clicker's current
  // question (the first active one it has not answered, else the last); kind empty = by the
  // question's type. False, and nothing sent, when there is no such question or the text
  // cannot be encoded.
  bool AnswerText(int i, const std::string& text, int question = 0,
                  std::optional<SimAnswers::Kind> kind = std::nullopt);
  // The clicker's current question number, 0 when none.
  int CurrentQuestion(int i);
  // The clicker ends its session (SESSION_END_REMOTE).
  void EndSession(int i);
  void LogOff(int i);
  void Disassociate(int i);

  // Automatic mode: `count` clickers join, log in and answer (see AutoSettings).
  void StartAutomatic(int count, AutoSettings settings = {});
  void StopAutomatic();
  // Joins from `count` distinct clickers (indices firstIndex ..) as fast as the link takes
  // them: a status report and a join each; student numbers firstStudent + k when the receiver
  // requires login.
  void Flood(int count = 500, int firstIndex = 0, int firstStudent = 5001);

  // Records every answer the service acknowledged in the file at `path` (see AnswerLedger.h);
  // false when it cannot be opened. Before Start.
  bool OpenLedger(const std::string& path);
  size_t LedgerRecorded() const { return m_ledger.Recorded(); }

  // Misbehaviour on request.
  std::atomic<bool> dropAnswers{false};  // answer no query at all
  std::atomic<bool> corruptChecksums{false};
  std::atomic<bool> splitFrames{false};     // write frames a byte at a time
  std::atomic<bool> silent{false};          // neither answer nor report
  std::atomic<bool> mismatchStatus{false};  // report idle while the network runs

 private:
  using Bytes = std::vector<uint8_t>;
  using Outgoing = std::vector<Bytes>;

  void Run();
  bool ReopenTty();
  void RunWriter();
  // The reader and writer threads over the current pty; StopIo drops what waits to be written.
  bool StartIo();
  void StopIo();
  // Points the link at the pty path (replacing it in one step); true when no link is configured.
  bool PointLink(const std::string& ptyPath);
  // Under m_lock: the receiver's state as after power-on.
  void PowerOnLocked();
  void HandleBytes(const uint8_t* bytes, size_t count);
  bool AnswerProbe(const Bytes& raw);
  void HandlePacket(const Bytes& packet);
  // Under m_lock: the receiver's and the clickers' reactions, as packets to send afterwards.
  void HandleAtReceiverLocked(uint8_t command, const Bytes& payload, Outgoing& out);
  void HandleToClickerLocked(ClickerInfo& clicker, uint8_t command, const Bytes& payload, Outgoing& out);
  void SessionEndLocked(ClickerInfo& clicker, uint8_t mode);
  void CloseQuestionsLocked();
  ClickerInfo& ClickerLocked(int i);
  // Changes clicker i under m_lock, then sends a packet from it: `command` and its arguments
  // after the clicker's address.
  void ClickerSends(int i, const std::function<void(ClickerInfo&)>& change, const Bytes& command);
  ClickerInfo* ClickerByAddressLocked(uint16_t address);
  void JoinPacketsLocked(ClickerInfo& clicker, bool typed, Outgoing& out);
  int CurrentQuestionLocked(const ClickerInfo& clicker) const;
  bool AnswerLocked(ClickerInfo& clicker, const std::string& text, int question, std::optional<SimAnswers::Kind> kind,
                    Outgoing& out);
  // Automatic mode, under m_lock.
  void ScheduleAutoJoinsLocked();
  void ScheduleAutoAnswersLocked();
  void AutoJoin(int i);
  void AutoAnswer(int i, int question, uint64_t set);
  std::string AutoAnswerTextLocked(const SimContent::Question& q, SimAnswers::Kind kind);
  int RandomDelayLocked();
  void Send(const Outgoing& packets);
  // Under m_lock: the ledger waits for the acknowledgements of an answer's packets.
  void ExpectLocked(const ClickerInfo& clicker, int question, const char* kind, const Bytes& bytes,
                    const std::string& text, const Outgoing& packets);
  // The packet's frame, with the checksum spoilt when corruptChecksums asks for it.
  Bytes FrameOf(const Bytes& packet);
  void Write(Bytes bytes);

  SimulatorConfig m_config;
  // Start, Stop and Replug, one at a time.
  std::mutex m_lifeLock;
  int m_master = -1;
  int m_slaveKeep = -1;  // keeps the pty alive while the service has not opened it
  int m_wake[2] = {-1, -1};
  mutable std::mutex m_pathLock;
  std::string m_slavePath;
  std::thread m_thread;
  std::thread m_writer;
  std::atomic<bool> m_running{false};    // between Start and Stop
  std::atomic<bool> m_ioRunning{false};  // the reader and writer threads are to run
  SimScheduler m_scheduler;
  CAnswerLedger m_ledger;
  // Held from an answer's registration with the ledger until its packets are queued for the
  // line, so that answers reach the line in the order the ledger expects their acknowledgements.
  std::mutex m_answerSendLock;

  // Receiver and clicker state, and the packets received and sent.
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Bytes> m_received;
  std::vector<Bytes> m_sent;
  Bytes m_pending;
  int m_badFrames = 0;
  bool m_networkUp = false;
  std::atomic<uint8_t> m_loginFlags{0};
  uint8_t m_channel = 0;
  std::string m_className;
  SimContent::QuestionSet m_questions;
  int m_broadcasts = 0;
  std::map<int, ClickerInfo> m_clickers;
  bool m_automatic = false;
  AutoSettings m_auto;
  std::set<int> m_joinPending;                               // automatic joins scheduled
  bool m_scanEndDue = false;                                 // a scan was started by the packet being handled (m_lock)
  std::set<std::tuple<int, uint64_t, int>> m_answerPending;  // (clicker, question set, question)
  std::mt19937 m_random;

  // Bytes waiting for the writer thread, and the line's file descriptor.
  std::mutex m_writeLock;
  std::condition_variable m_writeReady;
  std::deque<Bytes> m_outgoing;
  WrittenHook m_written;
  std::mutex m_fdLock;
};

#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "connections/LineSettings.h"

// The receiver detection cycle: candidate line settings tried in turn, and the probe each
// baud rate is tested with.

// The setting after `current`: 9600 8O2 -> 9600 8N1 -> 19200 8N1 -> 57600 8N1 -> 9600 8O2;
// any other setting stays. The very first candidate of a port is 9600 8O2.
LineSettings NextCandidate(const LineSettings& current);
LineSettings FirstCandidate();

struct DetectionProbe {
  std::vector<uint8_t> request;
  std::vector<uint8_t> expected;  // found anywhere in the answer
  uint32_t firstRead;             // bytes of the first read (200 ms)
  uint32_t secondRead;            // bytes of the second read (1500 ms)
};

// The probes for a baud rate, in the order they are tried (none for other rates).
std::vector<DetectionProbe> ProbesFor(uint32_t baudRate);

// Whether `expected` occurs in `answer`.
bool AnswerContains(std::span<const uint8_t> answer, std::span<const uint8_t> expected);

// What the detection routine does to a serial link, supplied by each platform's port; every
// step runs on the link's I/O thread.
struct DetectionSteps {
  std::function<bool(LineSettings* applied)> nextLine;  // the port's NextLine
  std::function<bool(const LineSettings&)> setLine;
  std::function<void(bool raised)> setRts;
  // Writes all bytes within timeoutMs; false when they did not all go.
  std::function<bool(std::span<const uint8_t> bytes, int timeoutMs)> write;
  // Up to count bytes, waiting at most timeoutMs for them.
  std::function<std::vector<uint8_t>(size_t count, int timeoutMs)> read;
  // Waits ms; false when the I/O thread is told to stop meanwhile.
  std::function<bool(int ms)> pause;
  std::function<bool()> lost;
  int settleMs = 0;  // pause after each candidate setting is applied
};

// The detection routine after the purge: RTS pulses when asked, up to four candidate settings
// each tried with its probes, and 9600 8N1 when no probe was answered. True when one was.
bool DetectReceiver(const DetectionSteps& steps, bool pulse);

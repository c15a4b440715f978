#pragma once
#include <cstdint>
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

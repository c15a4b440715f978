#include "connections/DetectionProbes.h"

#include <algorithm>
#include <cerrno>

LineSettings FirstCandidate() { return {9600, 8, 1, 2}; }

LineSettings NextCandidate(const LineSettings& current) {
  if (current == LineSettings{9600, 8, 1, 2}) return {9600, 8, 0, 0};
  if (current == LineSettings{9600, 8, 0, 0}) return {19200, 8, 0, 0};
  if (current == LineSettings{19200, 8, 0, 0}) return {57600, 8, 0, 0};
  if (current == LineSettings{57600, 8, 0, 0}) return {9600, 8, 1, 2};
  return current;
}

std::vector<DetectionProbe> ProbesFor(uint32_t baudRate) {
  switch (baudRate) {
    case 9600:
      return {{{0x15, 0x2A, 0x16, 0x02, 0x00, 0x00}, {0x15, 0x2A, 0x16, 0x02}, 24, 4},
              {{0x18, 0x16, 0x02, 0x00, 0x00, 0x00}, {0x16, 0x02}, 24, 3}};
    case 19200:
      return {{{0xE1, 0x00, 0x00, 0xE1}, {0xD2}, 4, 2}};
    case 57600:
      return {{{0x18, 0x16, 0x02, 0x00, 0x00, 0x00}, {0x16, 0x02}, 6, 3}};
    default:
      return {};
  }
}

bool AnswerContains(std::span<const uint8_t> answer, std::span<const uint8_t> expected) {
  if (expected.empty()) return true;
  return std::search(answer.begin(), answer.end(), expected.begin(), expected.end()) != answer.end();
}

uint32_t LinkResult::FromErrno(int error) {
  switch (error) {
    case 0:
      return kSuccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return kNotPresent;
    case EBUSY:
    case EACCES:
    case EPERM:
    case EWOULDBLOCK:
      return kInUse;
    default:
      return static_cast<uint32_t>(error);
  }
}

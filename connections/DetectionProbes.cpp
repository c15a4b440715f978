#include "connections/DetectionProbes.h"

#include <algorithm>

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

namespace {

bool AnswersProbe(const DetectionSteps& steps, const DetectionProbe& probe) {
  if (!steps.write(probe.request, 500)) return false;
  std::vector<uint8_t> answer = steps.read(probe.firstRead, 200);
  if (AnswerContains(answer, probe.expected)) return true;
  const std::vector<uint8_t> more = steps.read(probe.secondRead, 1500);
  answer.insert(answer.end(), more.begin(), more.end());
  return AnswerContains(answer, probe.expected);
}

}  // namespace

bool DetectReceiver(const DetectionSteps& steps, bool pulse) {
  if (pulse) {
    for (int i = 0; i < 3; ++i) {
      steps.setRts(false);
      if (!steps.pause(200)) return false;
      steps.setRts(true);
      if (!steps.pause(200)) return false;
    }
  }
  bool answered = false;
  for (int round = 0; round < 4 && !answered && !steps.lost(); ++round) {
    LineSettings candidate;
    if (!steps.nextLine(&candidate)) break;
    if (steps.settleMs > 0 && !steps.pause(steps.settleMs)) return false;
    for (const DetectionProbe& probe : ProbesFor(candidate.baudRate)) {
      if (AnswersProbe(steps, probe)) {
        answered = true;
        break;
      }
    }
  }
  if (!answered) steps.setLine(LineSettings{9600, 8, 0, 0});
  return answered;
}

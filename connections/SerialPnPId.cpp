#include "connections/SerialPnPId.h"

#include <chrono>

Voxlet::StringBuffer CollectPnPId(uint8_t first,
                                  const std::function<std::vector<uint8_t>(size_t count, int timeoutMs)>& read) {
  Voxlet::StringBuffer id;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2200);
  uint8_t byte = first;
  bool leadingM = false;
  bool started = false;
  bool sixBit = false;
  for (;;) {
    if (!started) {
      if (byte == 'M' && !leadingM && id.empty()) {
        leadingM = true;
        id.push_back(u'M');
      } else if (byte == '(' || byte == 0x08) {
        started = true;
        sixBit = byte == 0x08;
        id.push_back(sixBit ? static_cast<char16_t>(byte + 0x20) : static_cast<char16_t>(byte));
      }
    } else {
      id.push_back(sixBit ? static_cast<char16_t>(byte + 0x20) : static_cast<char16_t>(byte));
      if (byte == (sixBit ? 0x09 : ')') || id.size() >= 256) break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const std::vector<uint8_t> next = read(1, static_cast<int>(left.count()));
    if (next.empty()) break;
    byte = next[0];
  }
  if (!started) id.clear();
  return id;
}

Voxlet::StringBuffer ReadPnPId(const PnPSteps& steps) {
  auto toggle = [&steps] {
    steps.setDtr(false);
    steps.setRts(false);
    steps.pause(200);
    steps.setDtr(true);
    steps.pause(200);
    steps.setRts(true);
  };
  steps.setRts(false);
  steps.setDtr(true);
  steps.purge();
  steps.pause(200);
  steps.enterPnPLine();
  toggle();
  std::vector<uint8_t> first = steps.read(1, 200);
  if (first.empty()) {
    toggle();
    first = steps.read(1, 200);
  }
  Voxlet::StringBuffer id;
  if (!first.empty()) id = CollectPnPId(first[0], steps.read);
  steps.setDtr(false);
  steps.setRts(true);
  return id;
}

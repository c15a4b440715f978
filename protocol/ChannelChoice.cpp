#include "protocol/ChannelChoice.h"

#include <algorithm>
#include <string>

#include "log/Logger.h"

namespace {

double TextNumber(const Voxlet::StringBuffer& text) {
  try {
    return std::stod(Voxlet::UTF16to8(text));
  } catch (...) {
    return 0;
  }
}

bool Usable(const ScanReading& r) { return !r.timestamp.empty() && !r.value.empty() && r.pid.empty(); }

}  // namespace

ChannelInfo BuildChannelInfo(const ScanChannel& channel, bool exclude26) {
  ChannelInfo info;
  info.channel = channel.id;
  if (!channel.latest.pid.empty() || channel.latest.timestamp.empty() || (exclude26 && channel.id == 26)) {
    info.excluded = true;
    return info;
  }
  auto take = [&info](const ScanReading& r) {
    if (!Usable(r)) return;
    const double v = TextNumber(r.value);
    info.readings.push_back(v);
    info.largest = std::max(info.largest, v);
  };
  // The element's own reading, then its history entries in document order.
  take(channel.latest);
  for (const ScanReading& r : channel.history) take(r);
  if (info.readings.empty()) info.excluded = true;
  return info;
}

double WeightedLevel(const std::vector<double>& v) {
  const size_t k = v.size();
  double sum = 0;
  double weights = 0;
  for (size_t j = 0; j < k; ++j) {
    const double w = static_cast<double>((k - j) * (k - j));
    sum += v[j] * w;
    weights += w;
  }
  return weights > 0 ? sum / weights : 0;
}

int ChooseChannel(const ChannelChoice& c) {
  std::vector<ChannelInfo> infos;
  double maxE = 0;
  bool any = false;
  for (const ScanChannel& channel : c.table->Channels()) {
    infos.push_back(BuildChannelInfo(channel, c.exclude26));
    if (!infos.back().excluded) {
      any = true;
      maxE = std::max(maxE, infos.back().largest);
    }
  }
  if (!any) return -1;

  double bestP = 0;
  for (ChannelInfo& info : infos) {
    if (info.excluded) continue;
    // Every reading 0: all channels are equally quiet.
    if (maxE <= 0) {
      info.p = 1;
    } else {
      const std::vector<double>& v = info.readings;
      const size_t k = v.size();
      double sum = 0;
      double weights = 0;
      for (size_t j = 0; j < k; ++j) {
        const double w = static_cast<double>((k - j) * (k - j));
        sum += (maxE - v[j]) / maxE * w;
        weights += w;
      }
      info.p = sum / weights;
    }
    bestP = std::max(bestP, info.p);
  }

  auto find = [&infos](int channel) -> ChannelInfo* {
    for (ChannelInfo& info : infos)
      if (info.channel == channel) return &info;
    return nullptr;
  };
  const int current = c.current;
  const double threshold = c.thresholdPercent;
  if (current != -1) {
    const ChannelInfo* info = find(current);
    if (info && !info->excluded && info->readings[0] < threshold) return current;
  }

  const double cutoff = (1.0 - threshold / 100.0) * bestP;
  OV_LOG(kLogDiagnostic, "Comparison P value: %.4f\tthreshold:%d", cutoff, c.thresholdPercent);
  std::vector<int> zone;
  for (ChannelInfo& info : infos) {
    if (info.excluded) continue;
    if (info.p >= cutoff) {
      OV_LOG(kLogDiagnostic, "Channel %d P value: %.4f (In the zone)", info.channel, info.p);
      zone.push_back(info.channel);
    } else {
      OV_LOG(kLogDiagnostic, "Channel %d P value: %.4f", info.channel, info.p);
      info.excluded = true;
    }
  }
  const uint32_t random = c.random ? c.random() : 0;
  if (zone.empty()) return current != -1 ? current : 11 + static_cast<int>(random & 15);
  if (current != -1 && std::find(zone.begin(), zone.end(), current) != zone.end()) return current;
  return zone[random % zone.size()];
}

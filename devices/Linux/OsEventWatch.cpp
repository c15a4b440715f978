#include "devices/OsEventWatch.h"

#include "devices/Linux/OsEvents.h"

struct COsEventWatch::Impl {
  CUdevMonitor devices;
  CSleepMonitor sleep;
};

COsEventWatch::COsEventWatch(DeviceEventHandler devices, PowerEventHandler power)
    : m_impl(new Impl{CUdevMonitor(std::move(devices)), CSleepMonitor(std::move(power))}) {}

COsEventWatch::~COsEventWatch() = default;

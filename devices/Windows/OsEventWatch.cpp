#include "devices/OsEventWatch.h"

// The SCM hands device and power events to the service's control handler (RegisterUsbDevice
// Events in the platform's service control); nothing is watched here.
struct COsEventWatch::Impl {};

COsEventWatch::COsEventWatch(DeviceEventHandler, PowerEventHandler) {}

COsEventWatch::~COsEventWatch() = default;

#pragma once
#include <memory>

#include "connections/SBConnectionInfo.h"

class CThreadedPort;

// The port object of a connection's kind, each the platform's own class of that name; null
// for a kind not served here (the camera-board links).
std::unique_ptr<CThreadedPort> MakeThreadedPort(const SBConnectionInfo& info);

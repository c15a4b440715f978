#pragma once
#include <memory>

#include "connections/SBConnectionInfo.h"

class CThreadedPort;

// The port object of a connection's kind on this platform (each platform's PortFactory.cpp);
// null for a kind it does not serve.
std::unique_ptr<CThreadedPort> MakeThreadedPort(const SBConnectionInfo& info);

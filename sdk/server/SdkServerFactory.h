#pragma once
#include <memory>

#include "sdk/server/SdkServerEvents.h"

// Starts the service's SDK server (COVSDKServerImpl) on 127.0.0.1, on a port the system
// picks, announced by multicast. Null (the failure reported and logged) when it cannot start.
// Dropping the last reference stops the server; that must not happen inside one of the
// events' calls.
std::shared_ptr<ISDKServer> StartSdkServer(ISDKServerEvents* events);

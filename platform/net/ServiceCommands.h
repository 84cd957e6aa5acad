#pragma once

#include "NetSettings.h"

#include <string>

// What a start or stop came to; main turns it into the Windows command's
// message and exit code.
enum class NetOutcome
{
    NET_STARTED,
    NET_STOPPED,
    NET_INVALID_NAME,
    NET_ALREADY_STARTED,
    NET_NOT_STARTED,
    NET_COULD_NOT_START,
    NET_SYSTEM_ERROR
};

struct NetResult
{
    NetOutcome eOutcome;
    std::string strDetail; // why, for NET_SYSTEM_ERROR
};

// Starts the service `name` of the default service folder unless it runs, and
// reports started only when it is still up after the settle time. Never
// throws.
NetResult startService(const std::string& name, const NetSettings& settings);

// Stops the service `name`: SIGTERM to its process group, SIGKILL after the
// stop timeout, then removes its pid file. Never throws.
NetResult stopService(const std::string& name, const NetSettings& settings);

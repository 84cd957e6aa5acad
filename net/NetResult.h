#pragma once

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
    NET_NOT_CONTROLLABLE, // another command is at work and one waits already
    NET_SYSTEM_ERROR
};

struct NetResult
{
    NetOutcome eOutcome;
    std::string strDetail; // why, for NET_SYSTEM_ERROR
};

#pragma once

#include "NetSettings.h"

#include <optional>
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

// The queue file (CommandAdmission.h) of the service `name` of the default
// service folder; nullopt when `name` is no service there (an unsafe name, or
// no executable run). Throws Poco::FileException naming the folder when it
// cannot be opened.
std::optional<std::string> folderQueueFile(const std::string& name);

// Starts the service `name` of the default service folder unless it runs, and
// reports started only when it is still up after the settle time. The
// service reads as pending (ServiceFolder::isPending) meanwhile. For an
// admitted command. Throws Poco::Exception when the service cannot be set up.
NetResult startService(const std::string& name, const NetSettings& settings);

// Stops the service `name`: SIGTERM to its process group, SIGKILL after the
// stop timeout, then removes its pid file; pending meanwhile. A pid file that
// does not name a service process (see ServiceFolder::isServiceProcess) is
// refused and nothing is signalled. For an admitted command. Throws
// Poco::Exception on a system failure.
NetResult stopService(const std::string& name, const NetSettings& settings);

#pragma once

#include "NetResult.h"
#include "NetSettings.h"

#include <optional>
#include <string>

// `net start` and `net stop` on the service folder (ServiceFolder.h), the
// service NAME being <folder>/NAME/run.

// The queue file (CommandAdmission.h) of the service `name` of the default
// service folder; nullopt when `name` is no service there (an unsafe name, or
// no executable run). Throws Poco::FileException naming the folder when it
// cannot be opened.
std::optional<std::string> folderQueueFile(const std::string& name);

// Starts the service `name` of the default service folder unless it runs:
// run in a session (and process group) of its own, working folder the
// service's, stdin /dev/null, stdout and stderr appended to output.log there,
// ZELVIN_SERVICE_NAME=name in its environment, an empty signal mask, default
// dispositions and no descriptor beyond 0-2. Reports started only when it is
// still up after the settle time; could not start when run cannot be executed
// (the reason is appended to output.log) or ends before. The service reads as
// pending (ServiceFolder::isPending) meanwhile. For an admitted command.
// Throws Poco::Exception when the service cannot be set up.
NetResult startService(const std::string& name, const NetSettings& settings);

// Stops the service `name`: SIGTERM to its process group, SIGKILL after the
// stop timeout, then removes its pid file; pending meanwhile. A pid file that
// does not name a service process (see ServiceFolder::isServiceProcess) is
// refused and nothing is signalled. For an admitted command. Throws
// Poco::Exception on a system failure.
NetResult stopService(const std::string& name, const NetSettings& settings);

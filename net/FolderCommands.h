#pragma once

#include "NetResult.h"
#include "NetSettings.h"
#include "PrivateFolder.h"
#include "ServiceFolder.h"

#include <optional>
#include <string>

// `net start` and `net stop` on the service folder (ServiceFolder.h), the
// service NAME being <folder>/NAME/run.

// The service folder that holds the service `name`: the default one
// (ServiceFolder::defaultPath); nullopt when `name` is no service there (an
// unsafe name, or no executable run). Throws Poco::FileException naming the
// folder when it cannot be opened.
std::optional<ServiceFolder> folderOfService(const std::string& name);

// Starts the service `name` of `folder` unless it runs: run in a session (and
// process group) of its own, working folder the service's, stdin /dev/null,
// stdout and stderr appended to output.log there, ZELVIN_SERVICE_NAME=name in
// its environment, an empty signal mask, default dispositions and no
// descriptor beyond 0-2. Reports started only when it is still up after the
// settle time; could not start when run cannot be executed (the reason is
// appended to output.log) or ends before. The service reads as pending
// (ServiceFolder::isPending) meanwhile: its pending lock in `commands`
// (ServiceFolder::commandFolder) is held, and removed once done. For an
// admitted command. Throws Poco::Exception when the service cannot be set up.
NetResult startService(const ServiceFolder& folder, const PrivateFolder& commands, const std::string& name,
                       const NetSettings& settings);

// Stops the service `name`: SIGTERM to its process group, SIGKILL after the
// stop timeout, then removes its pid file; pending meanwhile, as for start. A
// pid file that does not name a service process (see
// ServiceFolder::isServiceProcess) is refused and nothing is signalled. For
// an admitted command. Throws Poco::Exception on a system failure.
NetResult stopService(const ServiceFolder& folder, const PrivateFolder& commands, const std::string& name,
                      const NetSettings& settings);

#pragma once

#include "NetResult.h"
#include "NetSettings.h"

#include <string>

// `net start` and `net stop` through the Windows service control manager:
// OpenSCManager, OpenService, then StartService or ControlService(STOP), and
// a wait for the state change, polled with short growing pauses: start at
// most settings.iStartTimeoutMs, stop at most settings.iStopTimeoutMs; a
// service still pending then is left to the manager and reported as a system
// error. A name the manager does not know is an invalid name. `name` is
// UTF-8. For an admitted command. Throws Poco::SystemException when the
// manager or the service cannot be opened or queried for another reason.
NetResult startScmService(const std::string& name, const NetSettings& settings);
NetResult stopScmService(const std::string& name, const NetSettings& settings);

#pragma once

#include "NetResult.h"
#include "NetSettings.h"

#include <string>

// `net start` and `net stop` on systemd: service NAME is unit "NAME.service"
// of the system manager, or of the calling user's when `bUserScope`. Each
// sends StartUnit / StopUnit (mode "replace") and waits for that job's
// JobRemoved signal: start at most settings.iStartTimeoutMs, stop at most
// settings.iStopTimeoutMs; a job still running then is left to systemd and
// reported as a system error. A NAME that is no valid unit name, or whose
// unit's LoadState is not "loaded" (masked included), is an invalid name.
// Throws Poco::Exception when the manager cannot be reached or answers
// amiss (a system error).
NetResult startSystemdService(const std::string& name, const NetSettings& settings, bool bUserScope);
NetResult stopSystemdService(const std::string& name, const NetSettings& settings, bool bUserScope);

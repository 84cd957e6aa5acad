#pragma once

#include "NetResult.h"
#include "NetSettings.h"

#include <string>
#include <vector>

// What `net` does on this machine's service manager; one implementation per
// system (NetCommand_posix.cpp: the service folder or systemd,
// NetCommand_win32.cpp: the service control manager), main.cpp around them.

// Undoes what the launching program left to net that would get in its way
// (on Linux: the signals the watchdog's worker blocks).
void prepareNetProcess();

// The command's arguments after the program's name, as UTF-8.
std::vector<std::string> netArguments(int argc, char** argv);

// `net start NAME` (`bStart`) or `net stop NAME`: refused as an invalid name
// unless the operator's allow-list (ServiceAllowList.h, read from
// configFolder()) allows it, before the manager is asked anything; then
// admitted (one command at work and one waiting per service, in launch
// order, any further one refused), then carried out. Throws Poco::Exception
// (or std::exception) for a system error, among them a list or a queue that
// cannot be read, or that another account could have written: main reports
// it as "A system error has occurred.".
NetResult runNetCommand(bool bStart, const std::string& name, const NetSettings& settings);

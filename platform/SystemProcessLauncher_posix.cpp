#include "SystemProcessLauncher.h"

#include "ProcStat.h"
#include "ProcessSpawn.h"

#include <Poco/Exception.h>

#include <cstring>
#include <unistd.h>

int SystemProcessLauncher::launch(const std::string& command, const std::vector<std::string>& args)
{
    std::vector<std::string> vecArgv{command};
    vecArgv.insert(vecArgv.end(), args.begin(), args.end());
    // Not Poco::Process::launch, whose child closes every descriptor number up
    // to the open-file limit one by one. The listening socket, the clients
    // and the log file stay the watchdog's.
    ProcessSpawn spawn;
    pid_t pid = 0;
    if (int error = spawn.spawn(pid, vecArgv, environ, ProcessSpawn::SPAWN_SEARCH_PATH); error != 0)
        throw Poco::SystemException("Cannot start " + command + ": " + std::strerror(error), error);
    return static_cast<int>(pid);
}

bool SystemProcessLauncher::isRunning(int pid)
{
    std::optional<ProcStat::Info> info = ProcStat::read(pid);
    return info && ProcStat::isLiveState(info->cState);
}

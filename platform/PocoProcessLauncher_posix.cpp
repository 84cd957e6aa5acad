#include "PocoProcessLauncher.h"

#include "ProcStat.h"

#include <Poco/Process.h>

int PocoProcessLauncher::launch(const std::string& command, const std::vector<std::string>& args)
{
    Poco::Process::Args vecArgs(args.begin(), args.end());
    // The handle goes out of scope here; POCO does not wait on release.
    Poco::ProcessHandle handle = Poco::Process::launch(command, vecArgs);
    return handle.id();
}

bool PocoProcessLauncher::isRunning(int pid)
{
    std::optional<ProcStat::Info> info = ProcStat::read(pid);
    return info && ProcStat::isLiveState(info->cState);
}

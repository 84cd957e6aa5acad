#include "SystemProcessLauncher.h"

#include <Poco/Process.h>

// On Windows POCO's launch is a plain CreateProcess (the command is found
// through the system's search path), with none of the descriptor cost it has
// on Linux. The ProcessHandle closes the process handle when it goes out of
// scope; the process runs on, unwaited, and leaves nothing behind.
int SystemProcessLauncher::launch(const std::string& command, const std::vector<std::string>& args)
{
    Poco::Process::Args vecArgs(args.begin(), args.end());
    Poco::ProcessHandle handle = Poco::Process::launch(command, vecArgs);
    return static_cast<int>(handle.id());
}

bool SystemProcessLauncher::isRunning(int pid)
{
    try
    {
        return Poco::Process::isRunning(static_cast<Poco::Process::PID>(pid));
    }
    catch (...)
    {
        return false;
    }
}

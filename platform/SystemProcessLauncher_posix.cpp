#include "SystemProcessLauncher.h"

#include "ProcStat.h"

#include <Poco/Exception.h>

#include <csignal>
#include <cstring>
#include <spawn.h>
#include <unistd.h>

namespace
{
// The attribute objects of one spawn, released on every path.
class SpawnSetup
{
public:
    SpawnSetup()
    {
        ::posix_spawn_file_actions_init(&m_actions);
        ::posix_spawnattr_init(&m_attr);
    }
    ~SpawnSetup()
    {
        ::posix_spawnattr_destroy(&m_attr);
        ::posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attr;
};

[[noreturn]] void fail(const std::string& command, int error)
{
    throw Poco::SystemException("Cannot start " + command + ": " + std::strerror(error), error);
}
} // namespace

int SystemProcessLauncher::launch(const std::string& command, const std::vector<std::string>& args)
{
    std::vector<char*> vecArgv;
    vecArgv.reserve(args.size() + 2);
    vecArgv.push_back(const_cast<char*>(command.c_str()));
    for (const std::string& arg : args)
        vecArgv.push_back(const_cast<char*>(arg.c_str()));
    vecArgv.push_back(nullptr);

    SpawnSetup setup;
    // Every descriptor from 3 up goes in one close_range call: the listening
    // socket, the clients and the log file stay the watchdog's.
    int error = ::posix_spawn_file_actions_addclosefrom_np(&setup.m_actions, 3);
    if (error != 0)
        fail(command, error);
    // The worker thread blocks SIGTERM and SIGPIPE, and exec keeps both the
    // mask and ignored signals: the command gets a clean slate instead.
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    ::posix_spawnattr_setsigmask(&setup.m_attr, &emptyMask);
    ::posix_spawnattr_setsigdefault(&setup.m_attr, &defaults);
    ::posix_spawnattr_setflags(&setup.m_attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // posix_spawn on Linux, not Poco::Process::launch: POCO's child closes every
    // descriptor number up to the open-file limit one by one, which with the
    // raised limit costs far more than starting the command.
    pid_t pid = 0;
    error = ::posix_spawnp(&pid, command.c_str(), &setup.m_actions, &setup.m_attr, vecArgv.data(), environ);
    if (error != 0)
        fail(command, error);
    return static_cast<int>(pid);
}

bool SystemProcessLauncher::isRunning(int pid)
{
    std::optional<ProcStat::Info> info = ProcStat::read(pid);
    return info && ProcStat::isLiveState(info->cState);
}

#include "ProcessSpawn.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace
{
void check(int error, const char* szWhat)
{
    if (error != 0)
        throw Poco::SystemException(std::string("Cannot set up a process: ") + szWhat, std::strerror(error),
                                    error);
}
} // namespace

ProcessSpawn::ProcessSpawn()
{
    check(::posix_spawn_file_actions_init(&m_actions), "file actions");
    if (int error = ::posix_spawnattr_init(&m_attr); error != 0)
    {
        ::posix_spawn_file_actions_destroy(&m_actions);
        check(error, "attributes");
    }
    // The watchdog's worker thread blocks SIGTERM and SIGPIPE, and exec keeps
    // both the mask and ignored signals: the process gets a clean slate.
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    ::posix_spawnattr_setsigmask(&m_attr, &emptyMask);
    ::posix_spawnattr_setsigdefault(&m_attr, &defaults);
}

ProcessSpawn::~ProcessSpawn()
{
    ::posix_spawnattr_destroy(&m_attr);
    ::posix_spawn_file_actions_destroy(&m_actions);
}

void ProcessSpawn::dupTo(int fd, int iTarget)
{
    check(::posix_spawn_file_actions_adddup2(&m_actions, fd, iTarget), "descriptor");
}

void ProcessSpawn::changeFolder(const std::string& strFolder)
{
    check(::posix_spawn_file_actions_addchdir_np(&m_actions, strFolder.c_str()), "working folder");
}

void ProcessSpawn::addFlags(short flags)
{
    m_flags = static_cast<short>(m_flags | flags);
}

int ProcessSpawn::spawn(pid_t& pid, const std::vector<std::string>& vecArgv, char* const envp[],
                        ProgramLookup eLookup)
{
    if (vecArgv.empty())
        return EINVAL;
    std::vector<char*> vecPtrs;
    vecPtrs.reserve(vecArgv.size() + 1);
    for (const std::string& arg : vecArgv)
        vecPtrs.push_back(const_cast<char*>(arg.c_str()));
    vecPtrs.push_back(nullptr);

    // Last, after the caller's dups: one close_range for every descriptor
    // from 3 up, where a child that closes them one by one up to the
    // open-file limit (POCO's launch) takes tens of milliseconds once the
    // limit is raised.
    if (int error = ::posix_spawn_file_actions_addclosefrom_np(&m_actions, 3); error != 0)
        return error;
    if (int error = ::posix_spawnattr_setflags(&m_attr, m_flags); error != 0)
        return error;
    auto spawnFn = eLookup == SPAWN_SEARCH_PATH ? ::posix_spawnp : ::posix_spawn;
    return spawnFn(&pid, vecPtrs[0], &m_actions, &m_attr, vecPtrs.data(), envp);
}

#pragma once

#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <vector>

// How this project starts a process on Linux: posix_spawn with no descriptor
// but 0-2 (every one from 3 up closed in one call), an empty signal mask and
// default signal dispositions, whatever the spawning thread blocks or
// ignores. Callers add what their process needs on top (descriptors, folder,
// session) before spawn(). One object per spawn; any thread. Linux only.
class ProcessSpawn
{
public:
    enum ProgramLookup
    {
        SPAWN_PATH_AS_GIVEN, // posix_spawn
        SPAWN_SEARCH_PATH    // posix_spawnp: a name without '/' is looked up on PATH
    };

    // Throws Poco::SystemException when the attributes cannot be set up.
    ProcessSpawn();
    ~ProcessSpawn();

    ProcessSpawn(const ProcessSpawn&) = delete;
    ProcessSpawn& operator=(const ProcessSpawn&) = delete;

    // Additions, carried out in the child in the order given and before the
    // descriptors from 3 up are closed. Throw Poco::SystemException.
    void dupTo(int fd, int iTarget);
    void changeFolder(const std::string& strFolder);
    void addFlags(short flags); // POSIX_SPAWN_SETSID, ...

    // Starts `vecArgv[0]` with `vecArgv` and the environment `envp`; the pid
    // goes to `pid`. Returns 0, or the error number when the process could
    // not be started or set up, a failed exec included (glibc reports it here
    // and has reaped the child).
    int spawn(pid_t& pid, const std::vector<std::string>& vecArgv, char* const envp[],
              ProgramLookup eLookup = SPAWN_PATH_AS_GIVEN);

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attr;
    short m_flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
};

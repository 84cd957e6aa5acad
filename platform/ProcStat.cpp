#include "ProcStat.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ProcStat
{
std::optional<Info> read(int pid)
{
    if (pid <= 0)
        return std::nullopt;
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "/proc/%d/stat", pid);
    int fd = ::open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    // The fields up to the start time (22) fit well within 1 KiB; should the
    // line be longer, only fields after them are cut.
    char szLine[1024];
    ssize_t n;
    do
        n = ::read(fd, szLine, sizeof szLine - 1);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0)
        return std::nullopt;
    szLine[n] = '\0';

    // The command name (field 2) is in parentheses and may itself hold spaces
    // and ')', so the fields after it start after the last ')'.
    const char* pClose = std::strrchr(szLine, ')');
    if (pClose == nullptr || pClose[1] != ' ' || pClose[2] == '\0')
        return std::nullopt;
    Info info{pClose[2], 0, 0, 0, 0};

    // From the state (field 3) on, fields are single-space separated: the
    // parent's pid, the process group and the session follow the state; the
    // start time is field 22, i.e. 19 fields after the state.
    const char* p = pClose + 3;
    for (int i = 0; i < 19; ++i)
    {
        if (i == 1)
            info.iParentPid = std::atoi(p);
        else if (i == 2)
            info.iProcessGroup = std::atoi(p);
        else if (i == 3)
            info.iSession = std::atoi(p);
        p = std::strchr(p, ' ');
        if (p == nullptr)
            return std::nullopt;
        ++p;
    }
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long uStart = std::strtoull(p, &pEnd, 10);
    if (pEnd == p || errno != 0 || (*pEnd != ' ' && *pEnd != '\n' && *pEnd != '\0'))
        return std::nullopt;
    info.uStartTime = uStart;
    return info;
}

bool isLiveState(char cState)
{
    return cState != 'Z' && cState != 'X' && cState != 'x';
}
} // namespace ProcStat

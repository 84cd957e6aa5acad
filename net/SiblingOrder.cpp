#include "SiblingOrder.h"

#include "ProcStat.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// How often a sibling caught between fork and exec is looked at again: often
// enough that a restart adds little. Only such a sibling is looked at twice.
const int POLL_MS = 5;
// How long a sibling may still look like a copy of the parent before it is
// taken for one that never execs (a subshell, a worker) rather than a launch
// on its way to exec. POCO's launch closes every descriptor up to the limit
// before exec, which takes a noticeable while with a high limit.
const int EXEC_GRACE_MS = 3000;
// A cmdline longer than this is not net's ("net", verb, a name of at most 255
// bytes, and the path of the binary).
const size_t CMDLINE_MAX = PATH_MAX + 512;

using Clock = std::chrono::steady_clock;

enum class SiblingKind
{
    SIBLING_GONE,      // ended, or its pid now names another process
    SIBLING_OTHER,     // runs something that needs no ordering with us
    SIBLING_UNDECIDED, // not yet exec'd, or in the middle of exec
    SIBLING_SAME       // a net command for our service
};

struct Sibling
{
    int iPid;
    uint64_t uStartTime;
    bool bSame; // once known to be net for our service, only its end matters
};

// What this process, its parent and the service name are; fixed at the start.
struct Context
{
    std::string strName;
    int iParentPid;
    std::string strOwnExe;
    std::string strParentExe;
    std::string strParentCmdline;
};

std::string procPath(int pid, const char* szEntry)
{
    return "/proc/" + std::to_string(pid) + "/" + szEntry;
}

// The target of /proc/PID/exe; empty when it cannot be read.
std::string readExe(int pid)
{
    char szBuf[PATH_MAX];
    ssize_t n = ::readlink(procPath(pid, "exe").c_str(), szBuf, sizeof szBuf);
    return n > 0 && static_cast<size_t>(n) < sizeof szBuf ? std::string(szBuf, static_cast<size_t>(n))
                                                          : std::string();
}

// /proc/PID/cmdline, NUL-separated, cut at CMDLINE_MAX; empty when unreadable
// (and for a process whose exec has not yet set up its arguments).
std::string readCmdline(int pid)
{
    int fd = ::open(procPath(pid, "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text(CMDLINE_MAX, '\0');
    size_t len = 0;
    while (len < text.size())
    {
        ssize_t n = ::read(fd, text.data() + len, text.size() - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(len);
    return text;
}

// The third argument of a NUL-separated command line, if it has one.
std::optional<std::string> thirdArgument(const std::string& cmdline)
{
    size_t pos = 0;
    for (int i = 0; i < 2; ++i)
    {
        pos = cmdline.find('\0', pos);
        if (pos == std::string::npos)
            return std::nullopt;
        ++pos;
    }
    size_t end = cmdline.find('\0', pos);
    if (pos >= cmdline.size() || end == std::string::npos)
        return std::nullopt;
    return cmdline.substr(pos, end - pos);
}

SiblingKind classify(const Sibling& sib, const Context& ctx)
{
    // The start time and parent tell a sibling from a later process that got
    // its pid; a zombie has ended even before the parent reaps it.
    std::optional<ProcStat::Info> info = ProcStat::read(sib.iPid);
    if (!info || !ProcStat::isLiveState(info->cState) || info->uStartTime != sib.uStartTime ||
        info->iParentPid != ctx.iParentPid)
        return SiblingKind::SIBLING_GONE;
    if (sib.bSame)
        return SiblingKind::SIBLING_SAME;
    std::string strExe = readExe(sib.iPid);
    if (!strExe.empty() && strExe == ctx.strOwnExe)
    {
        // Right after exec the arguments may not be set up yet: look again.
        std::optional<std::string> arg = thirdArgument(readCmdline(sib.iPid));
        if (!arg)
            return SiblingKind::SIBLING_UNDECIDED;
        return *arg == ctx.strName ? SiblingKind::SIBLING_SAME : SiblingKind::SIBLING_OTHER;
    }
    if (strExe.empty() || strExe != ctx.strParentExe)
        return SiblingKind::SIBLING_OTHER;
    // The parent's program: a copy forked but not yet exec'd has the parent's
    // command line too, and one that did exec between the two reads shows a
    // new program when read again.
    if (readCmdline(sib.iPid) == ctx.strParentCmdline || readExe(sib.iPid) != strExe)
        return SiblingKind::SIBLING_UNDECIDED;
    return SiblingKind::SIBLING_OTHER;
}

// The live siblings created before us: start time first, pid for processes
// started within the same clock tick.
std::vector<Sibling> earlierSiblings(int iParentPid, int iOwnPid, uint64_t uOwnStart)
{
    std::vector<Sibling> vecSiblings;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return vecSiblings;
    while (const dirent* entry = ::readdir(dir))
    {
        int pid = 0;
        const char* pEnd = entry->d_name + std::strlen(entry->d_name);
        auto res = std::from_chars(entry->d_name, pEnd, pid);
        if (res.ec != std::errc() || res.ptr != pEnd || pid == iOwnPid)
            continue;
        std::optional<ProcStat::Info> info = ProcStat::read(pid);
        if (!info || info->iParentPid != iParentPid || !ProcStat::isLiveState(info->cState))
            continue;
        if (info->uStartTime < uOwnStart || (info->uStartTime == uOwnStart && pid < iOwnPid))
            vecSiblings.push_back(Sibling{pid, info->uStartTime, false});
    }
    ::closedir(dir);
    return vecSiblings;
}
} // namespace

std::vector<ServicePid> earlierNetSiblings(const std::string& name, int iGraceMs)
{
    std::vector<ServicePid> vecSame;
    try
    {
        const int iOwnPid = static_cast<int>(::getpid());
        std::optional<ProcStat::Info> self = ProcStat::read(iOwnPid);
        // An orphan's siblings are init's other children, no launch order.
        if (!self || self->iParentPid <= 1)
            return vecSame;
        Context ctx{name, self->iParentPid, readExe(iOwnPid), readExe(self->iParentPid),
                    readCmdline(self->iParentPid)};
        if (ctx.strOwnExe.empty() || static_cast<int>(::getppid()) != ctx.iParentPid)
            return vecSame;

        std::vector<Sibling> vecSiblings = earlierSiblings(ctx.iParentPid, iOwnPid, self->uStartTime);
        const auto graceEnd = Clock::now() + std::chrono::milliseconds(std::min(iGraceMs, EXEC_GRACE_MS));
        for (;;)
        {
            const bool bGraceOver = Clock::now() >= graceEnd;
            bool bUndecided = false;
            std::erase_if(vecSiblings,
                          [&](Sibling& sib)
                          {
                              SiblingKind eKind = classify(sib, ctx);
                              sib.bSame = eKind == SiblingKind::SIBLING_SAME;
                              bUndecided =
                                  bUndecided || (eKind == SiblingKind::SIBLING_UNDECIDED && !bGraceOver);
                              return eKind == SiblingKind::SIBLING_GONE ||
                                     eKind == SiblingKind::SIBLING_OTHER ||
                                     (eKind == SiblingKind::SIBLING_UNDECIDED && bGraceOver);
                          });
            if (!bUndecided)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
        }
        std::sort(vecSiblings.begin(), vecSiblings.end(),
                  [](const Sibling& a, const Sibling& b) {
                      return a.uStartTime < b.uStartTime || (a.uStartTime == b.uStartTime && a.iPid < b.iPid);
                  });
        for (const Sibling& sib : vecSiblings)
            vecSame.push_back(ServicePid{sib.iPid, sib.uStartTime});
    }
    catch (const std::exception&)
    {
        // Out of memory while reading /proc: ordering is a refinement, the
        // admission still bounds and serialises.
    }
    return vecSame;
}

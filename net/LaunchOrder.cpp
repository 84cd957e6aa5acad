#include "LaunchOrder.h"

#include "ProcStat.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

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
// Far more than the children file of any parent of net lists.
const size_t CHILDREN_MAX = 1 << 20;

enum class SiblingKind
{
    SIBLING_GONE,      // ended, or its pid now names another process
    SIBLING_OTHER,     // runs something that needs no ordering with us
    SIBLING_UNDECIDED, // not yet exec'd, or in the middle of exec
    SIBLING_SAME       // a net command for our service
};

struct Sibling
{
    ServicePid process;
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

std::string procPath(int pid, const std::string& strEntry)
{
    return "/proc/" + std::to_string(pid) + "/" + strEntry;
}

// The target of /proc/PID/exe; empty when it cannot be read.
std::string readExe(int pid)
{
    char szBuf[PATH_MAX];
    ssize_t n = ::readlink(procPath(pid, "exe").c_str(), szBuf, sizeof szBuf);
    return n > 0 && static_cast<size_t>(n) < sizeof szBuf ? std::string(szBuf, static_cast<size_t>(n))
                                                          : std::string();
}

// The first `maxBytes` of a file under /proc; empty when unreadable (and the
// cmdline of a process whose exec has not yet set up its arguments).
std::string readProcFile(const std::string& strPath, size_t maxBytes)
{
    int fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buf[4096];
    while (text.size() < maxBytes)
    {
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, maxBytes - text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

std::string readCmdline(int pid)
{
    return readProcFile(procPath(pid, "cmdline"), CMDLINE_MAX);
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
    std::optional<ProcStat::Info> info = ProcStat::read(sib.process.iPid);
    if (!info || !ProcStat::isLiveState(info->cState) || info->uStartTime != sib.process.uStartTime ||
        info->iParentPid != ctx.iParentPid)
        return SiblingKind::SIBLING_GONE;
    if (sib.bSame)
        return SiblingKind::SIBLING_SAME;
    std::string strExe = readExe(sib.process.iPid);
    if (!strExe.empty() && strExe == ctx.strOwnExe)
    {
        // Right after exec the arguments may not be set up yet: look again.
        std::optional<std::string> arg = thirdArgument(readCmdline(sib.process.iPid));
        if (!arg)
            return SiblingKind::SIBLING_UNDECIDED;
        return *arg == ctx.strName ? SiblingKind::SIBLING_SAME : SiblingKind::SIBLING_OTHER;
    }
    if (strExe.empty() || strExe != ctx.strParentExe)
        return SiblingKind::SIBLING_OTHER;
    // The parent's program: a copy forked but not yet exec'd has the parent's
    // command line too, and one that did exec between the two reads shows a
    // new program when read again.
    if (readCmdline(sib.process.iPid) == ctx.strParentCmdline || readExe(sib.process.iPid) != strExe)
        return SiblingKind::SIBLING_UNDECIDED;
    return SiblingKind::SIBLING_OTHER;
}

bool startedBefore(const ServicePid& a, const ServicePid& b)
{
    // Processes started within the same clock tick: the lower pid first.
    return a.uStartTime < b.uStartTime || (a.uStartTime == b.uStartTime && a.iPid < b.iPid);
}

// The live children of `iParentPid` started before `self`, from the children
// lists of the parent's threads (a child is listed by the thread that
// created it).
std::vector<Sibling> earlierSiblings(int iParentPid, const ServicePid& self)
{
    std::vector<Sibling> vecSiblings;
    const std::string strTasks = procPath(iParentPid, "task");
    DIR* dir = ::opendir(strTasks.c_str());
    if (dir == nullptr)
        return vecSiblings;
    while (const dirent* entry = ::readdir(dir))
    {
        if (entry->d_name[0] == '.')
            continue;
        std::istringstream children(readProcFile(strTasks + "/" + entry->d_name + "/children", CHILDREN_MAX));
        for (int pid = 0; children >> pid;)
        {
            std::optional<ProcStat::Info> info = ProcStat::read(pid);
            if (info && info->iParentPid == iParentPid && ProcStat::isLiveState(info->cState) &&
                startedBefore(ServicePid{pid, info->uStartTime}, self))
                vecSiblings.push_back(Sibling{ServicePid{pid, info->uStartTime}, false});
        }
    }
    ::closedir(dir);
    return vecSiblings;
}
} // namespace

std::vector<ServicePid> earlierNetSiblings(const std::string& name, const ServicePid& self, int iParentPid,
                                           int iGraceMs)
{
    std::vector<ServicePid> vecSame;
    try
    {
        // An orphan's siblings are init's other children, no launch order.
        if (iParentPid <= 1)
            return vecSame;
        Context ctx{name, iParentPid, readExe(self.iPid), readExe(iParentPid), readCmdline(iParentPid)};
        if (ctx.strOwnExe.empty() || static_cast<int>(::getppid()) != iParentPid)
            return vecSame;

        std::vector<Sibling> vecSiblings = earlierSiblings(iParentPid, self);
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
        for (const Sibling& sib : vecSiblings)
            vecSame.push_back(sib.process);
        std::sort(vecSame.begin(), vecSame.end(), startedBefore);
    }
    catch (const std::exception&)
    {
        // Out of memory while reading /proc: the order is a refinement, the
        // queue still bounds and serialises.
    }
    return vecSame;
}

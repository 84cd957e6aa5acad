#include "ProcessWait.h"

#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

// Only where the kernel has no pidfd_open (before 5.3): how often the
// processes are looked at instead.
const auto FALLBACK_POLL = std::chrono::milliseconds(20);

int pidfdOpen(int pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

const int ENDED = -1;
const int CANNOT_WATCH = -2;

// A pidfd for `process`; ENDED when it has ended, CANNOT_WATCH when no pidfd
// can be had (no kernel support, no descriptors left). Opened before the
// start time is checked, so the descriptor cannot belong to a later process
// that got the pid: the recorded process held the pid from before the open
// until the check.
int watch(const ServicePid& process)
{
    int fd = pidfdOpen(process.iPid);
    if (fd < 0)
        return errno == ESRCH ? ENDED : CANNOT_WATCH;
    if (!ServiceFolder::isAlive(process))
    {
        ::close(fd);
        return ENDED;
    }
    return fd;
}

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (left > 1000000 ? 1000000 : static_cast<int>(left));
}

// For kernels without pidfds: look now and then.
WaitOutcome waitByLooking(const std::vector<ServicePid>& vecProcesses, Clock::time_point deadline,
                          int iParentPid)
{
    for (;;)
    {
        if (iParentPid > 1 && ::getppid() != iParentPid)
            return WaitOutcome::WAIT_PARENT_GONE;
        bool bAllEnded = true;
        for (const ServicePid& process : vecProcesses)
            bAllEnded = bAllEnded && !ServiceFolder::isAlive(process);
        if (bAllEnded)
            return WaitOutcome::WAIT_ENDED;
        if (Clock::now() >= deadline)
            return WaitOutcome::WAIT_TIMED_OUT;
        std::this_thread::sleep_for(FALLBACK_POLL);
    }
}
} // namespace

WaitOutcome waitForEnd(const std::vector<ServicePid>& vecProcesses, Clock::time_point deadline,
                       int iParentPid)
{
    std::vector<pollfd> vecFds;
    auto closeAll = [&vecFds]()
    {
        for (const pollfd& entry : vecFds)
            ::close(entry.fd);
    };
    // The parent first, so a parent already gone wins over the rest.
    if (iParentPid > 1)
    {
        int fd = pidfdOpen(iParentPid);
        if (fd < 0 && errno != ESRCH)
            return waitByLooking(vecProcesses, deadline, iParentPid);
        if (fd < 0 || ::getppid() != iParentPid)
        {
            if (fd >= 0)
                ::close(fd);
            return WaitOutcome::WAIT_PARENT_GONE;
        }
        vecFds.push_back(pollfd{fd, POLLIN, 0});
    }
    const size_t firstProcess = vecFds.size();
    for (const ServicePid& process : vecProcesses)
    {
        int fd = watch(process);
        if (fd == CANNOT_WATCH)
        {
            closeAll();
            return waitByLooking(vecProcesses, deadline, iParentPid);
        }
        if (fd >= 0)
            vecFds.push_back(pollfd{fd, POLLIN, 0});
    }

    WaitOutcome eOutcome = WaitOutcome::WAIT_ENDED;
    while (vecFds.size() > firstProcess)
    {
        int n = ::poll(vecFds.data(), vecFds.size(), remainingMs(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            closeAll();
            return waitByLooking(vecProcesses, deadline, iParentPid);
        }
        if (n == 0)
        {
            eOutcome = WaitOutcome::WAIT_TIMED_OUT;
            break;
        }
        if (firstProcess == 1 && vecFds[0].revents != 0)
        {
            eOutcome = WaitOutcome::WAIT_PARENT_GONE;
            break;
        }
        for (size_t i = vecFds.size(); i-- > firstProcess;)
        {
            if (vecFds[i].revents == 0)
                continue;
            ::close(vecFds[i].fd);
            vecFds.erase(vecFds.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    closeAll();
    return eOutcome;
}

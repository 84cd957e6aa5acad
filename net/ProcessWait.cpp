#include "ProcessWait.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

// A pidfd that closes itself; fd() is -1 when there is no process `iPid`.
class Pidfd
{
public:
    explicit Pidfd(int iPid) : m_fd(iPid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, iPid, 0)) : -1)
    {
        if (m_fd < 0 && iPid > 0 && errno != ESRCH)
            throw Poco::SystemException("Cannot watch process " + std::to_string(iPid), std::strerror(errno));
    }
    ~Pidfd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Pidfd(const Pidfd&) = delete;
    Pidfd& operator=(const Pidfd&) = delete;

    int fd() const { return m_fd; }

private:
    int m_fd;
};

int remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : (left > 1000000 ? 1000000 : static_cast<int>(left));
}
} // namespace

WaitOutcome waitForEnd(const ServicePid& process, Clock::time_point deadline, int iParentPid)
{
    // The parent first, so a parent already gone wins over the process.
    const bool bWatchParent = iParentPid > 1;
    Pidfd parent(bWatchParent ? iParentPid : 0);
    if (bWatchParent && (parent.fd() < 0 || ::getppid() != iParentPid))
        return WaitOutcome::WAIT_PARENT_GONE;
    // Opened before the start time is checked, so the descriptor cannot
    // belong to a later process that got the pid: the recorded process held
    // the pid from before the open until the check.
    Pidfd watched(process.iPid);
    if (watched.fd() < 0 || !ServiceFolder::isAlive(process))
        return WaitOutcome::WAIT_ENDED;

    pollfd fds[2] = {{watched.fd(), POLLIN, 0}, {parent.fd(), POLLIN, 0}};
    for (;;)
    {
        int n = ::poll(fds, bWatchParent ? 2 : 1, remainingMs(deadline));
        if (n < 0 && errno != EINTR)
            throw Poco::SystemException("Cannot wait for process " + std::to_string(process.iPid),
                                        std::strerror(errno));
        if (fds[1].revents != 0)
            return WaitOutcome::WAIT_PARENT_GONE;
        if (fds[0].revents != 0)
            return WaitOutcome::WAIT_ENDED;
        if (Clock::now() >= deadline)
            return WaitOutcome::WAIT_TIMED_OUT;
    }
}

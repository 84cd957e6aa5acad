#include "ChildReaper.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace
{
// Several children may end before the handler runs (signals do not queue),
// so collect every one that has ended, not just one.
void reapChildren(int)
{
    int savedErrno = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0)
    {
    }
    errno = savedErrno;
}

std::atomic<bool> g_bInstalled{false};
} // namespace

namespace ChildReaper
{
void install()
{
    if (g_bInstalled.exchange(true))
        return;
    struct sigaction sa = {};
    sa.sa_handler = reapChildren;
    sigemptyset(&sa.sa_mask);
    // SA_RESTART: interrupted socket calls carry on; SA_NOCLDSTOP: a stopped
    // child is not an ended one.
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    ::sigaction(SIGCHLD, &sa, nullptr);
    // Services outlive the `net` that started them. Orphans go to the nearest
    // subreaper: being it means their end is collected here too, also where
    // init (a container's first process) does not reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    // Children that ended before the handler was in place.
    reapChildren(0);
}
} // namespace ChildReaper

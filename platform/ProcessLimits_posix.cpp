#include "ProcessLimits.h"

#include <sys/resource.h>

namespace
{
// With no hard ceiling, a figure the kernel accepts everywhere (fs.nr_open's
// default) and that keeps per-descriptor loops in children bounded.
const rlim_t OPEN_FILE_CAP = 1048576;
} // namespace

namespace ProcessLimits
{
unsigned long raiseOpenFileLimit()
{
    struct rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return 0;
    rlim_t target = rl.rlim_max == RLIM_INFINITY ? OPEN_FILE_CAP : rl.rlim_max;
    if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < target)
    {
        struct rlimit raised = {target, rl.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            rl.rlim_cur = target;
    }
    return static_cast<unsigned long>(rl.rlim_cur);
}
} // namespace ProcessLimits

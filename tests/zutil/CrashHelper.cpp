// Crashes on purpose after installing the crash reporter, for CrashDumperTest.
// Usage: zutil_crash_helper segv|overflow   (logging set up from
// $ZELVIN_CONFIG_DIR/Watchdog.xml so the report lands in the test's folder)
#include "CrashDumper.h"
#include "ZvLog.h"

#include <csignal>
#include <cstring>

#include <sys/resource.h>

namespace
{

// Each frame keeps a live array and uses the callee's result, so this cannot
// become a loop; the limit, never reached, only quiets -Winfinite-recursion.
volatile int g_nDepthLimit = 1 << 30;

int recurse(int depth)
{
    if (depth >= g_nDepthLimit)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return recurse(depth + 1) + frame[0];
}

} // namespace

int main(int argc, char** argv)
{
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ZV_InitLog("Watchdog.xml", 1, 1, "", "");
    CrashDumper::Install();
    if (argc > 1 && std::strcmp(argv[1], "overflow") == 0)
        return recurse(0);
    std::raise(SIGSEGV);
    return 0;
}

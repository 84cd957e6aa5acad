#include "RunWatchdog.h"

int wmain(int argc, wchar_t** argv)
{
    return runWatchdog(argc, argv);
}

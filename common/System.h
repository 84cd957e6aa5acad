#pragma once

#include "ZelvinUtilExport.h"

#include <cstdint>
#include <string>

// Machine-facing helpers of the product's utility library (ZelvinUtil64).
// All calls are synchronous, run on the caller's thread and take no lock the
// caller can see.
class ZELVINUTIL_API System
{
public:
    // Full path of the configuration file `name`, the same rule on every
    // system: $ZELVIN_CONFIG_DIR/name when that variable is set and not
    // empty; otherwise the first that exists of <exe dir>/name and
    // <exe dir>/../etc/name; when neither exists, <exe dir>/../etc/name. The
    // result is normalised, with the system's separators (UTF-8 on Windows);
    // an absolute `name` is returned unchanged. Never throws.
    static std::string getConfigFilePath(const std::string& name);

    // Whole seconds of a monotonic clock (GetTickCount64 on Windows); the
    // starting point is arbitrary and the value wraps at 2^32. Never throws.
    static uint32_t getSecondCount();

    // Ends every process whose executable name is `imageName` (a trailing
    // ".exe" is ignored on Linux, the match is case-sensitive), the calling
    // process last if it matches. On Linux each gets SIGKILL at once; the caller
    // still reaps its own children. On Windows the image name is matched
    // without regard to case (".exe" added when missing) and each process is
    // ended with TerminateProcess. Returns true when at least one process was
    // signalled; false for an empty name.
    static bool findAndKillProcessByName(const std::string& imageName);

    // Folder that holds the running executable, without a trailing slash; the
    // working directory when that cannot be found. Never throws.
    static std::string getExecutableDir();
};

#pragma once

#include <string>
#include <vector>

// The watchdog's seam for starting commands and asking whether a process
// runs. Abstract so the module can be tested with a fake that records every
// launch; the real implementation is SystemProcessLauncher.
class ProcessLauncher
{
public:
    virtual ~ProcessLauncher() = default;

    // Starts `command` (looked up through PATH) with `args` and returns the
    // new process's id at once, never waiting for it. Its handle is released
    // before returning. Throws Poco::Exception when it cannot be started.
    virtual int launch(const std::string& command, const std::vector<std::string>& args) = 0;

    // Whether the process `pid` is alive. A process that has ended counts as
    // ended even while it is not yet reaped (a zombie). Never throws.
    virtual bool isRunning(int pid) = 0;
};

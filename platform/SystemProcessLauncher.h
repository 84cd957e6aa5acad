#pragma once

#include "ProcessLauncher.h"

// The machine's ProcessLauncher. On Linux posix_spawnp: the command starts
// with no descriptor of the watchdog but 0-2, an empty signal mask and
// default signal dispositions, whatever thread launches it. Started
// processes are never waited for here: install ChildReaper so they leave no
// zombies. Stateless; any thread.
class SystemProcessLauncher : public ProcessLauncher
{
public:
    // Throws Poco::SystemException (with the command and the system's reason)
    // when the command cannot be started, a command not found on PATH
    // included.
    int launch(const std::string& command, const std::vector<std::string>& args) override;

    // Reads the process state from the system rather than probing with a
    // signal, which succeeds for a zombie.
    bool isRunning(int pid) override;
};

#pragma once

#include "ProcessLauncher.h"

// ProcessLauncher over Poco::Process. Started processes are never waited
// for here: install ChildReaper so they leave no zombies. Stateless; any
// thread.
class PocoProcessLauncher : public ProcessLauncher
{
public:
    int launch(const std::string& command, const std::vector<std::string>& args) override;

    // Reads the process state from the system rather than probing with a
    // signal, which succeeds for a zombie.
    bool isRunning(int pid) override;
};

#pragma once

#include <Poco/Util/OptionSet.h>
#include <Poco/Util/ServerApplication.h>

#include <string>
#include <vector>

class StallGuard;

// The watchdog's application object. The framework decides between service
// (daemon) and console operation, processes the command line and calls
// initialize, main and uninitialize in that order. All the work happens on the
// watchdog module's worker thread; this class only starts the process and
// waits for its end.
class ZelvinWatchdog : public Poco::Util::ServerApplication
{
public:
    ZelvinWatchdog();
    ~ZelvinWatchdog() override;

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    int main(const std::vector<std::string>& args) override;

    void handleHelp(const std::string& name, const std::string& value);
    void displayHelp();
    // Starts the guard when ZELVIN_EXIT_ON_STALL_S asks for it.
    void startStallGuard(StallGuard& guard);

private:
    bool m_bHelpRequested;
};

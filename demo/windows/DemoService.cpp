#include "DemoFeeder.h"

#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Net/Net.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/PatternFormatter.h>
#include <Poco/Process.h>
#include <Poco/Thread.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionCallback.h>
#include <Poco/Util/ServerApplication.h>

#include <iostream>

using Poco::Util::Option;
using Poco::Util::OptionCallback;

// A Windows service standing in for one of the product's server processes.
// Settings come from <exe name>.properties beside the executable (a service
// started by the service manager gets no command line), the command line
// (/name=..., /stopFeedingAfter=...) or DEMO_STOP_FEEDING_AFTER:
//   demo.name (default <exe name>.exe), demo.service (default <exe name>),
//   demo.timeoutMs (5000), demo.intervalMs (1000), demo.stopFeedingAfter
//   (seconds, negative: never), demo.register (true; false: just run),
//   demo.host (127.0.0.1), demo.port (30024), demo.stopDelayMs (0: how long
//   it stays stop-pending after a stop request, for tests of `net`).
// It logs to <exe name>.log beside the executable.
class DemoService : public Poco::Util::ServerApplication
{
protected:
    void initialize(Poco::Util::Application& self) override
    {
        loadConfiguration();
        ServerApplication::initialize(self);
        Poco::Path logPath(config().getString("application.dir"), commandName() + ".log");
        Poco::AutoPtr<Poco::FileChannel> pFile(new Poco::FileChannel(logPath.toString()));
        pFile->setProperty("rotation", "1 M");
        Poco::AutoPtr<Poco::PatternFormatter> pFormat(
            new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%i [%p] %t"));
        logger().setChannel(new Poco::FormattingChannel(pFormat, pFile));
    }

    void defineOptions(Poco::Util::OptionSet& options) override
    {
        ServerApplication::defineOptions(options);
        options.addOption(Option("help", "h", "display help information")
                              .callback(OptionCallback<DemoService>(this, &DemoService::handleHelp)));
        const char* const keys[][2] = {{"name", "watched process name"},
                                       {"service", "service the watchdog restarts it through"},
                                       {"timeoutMs", "feed timeout in milliseconds"},
                                       {"intervalMs", "feed interval in milliseconds"},
                                       {"stopFeedingAfter", "seconds after which feeding stops"},
                                       {"register", "true or false"}};
        for (const auto& key : keys)
            options.addOption(
                Option(key[0], "", key[1]).argument("value").binding(std::string("demo.") + key[0]));
    }

    void handleHelp(const std::string&, const std::string&)
    {
        Poco::Util::HelpFormatter help(options());
        help.setCommand(commandName());
        help.setHeader("Demo service: registers with the watchdog and feeds it.");
        help.format(std::cout);
        m_bHelp = true;
        stopOptionsProcessing();
    }

    int main(const std::vector<std::string>&) override
    {
        if (m_bHelp)
            return EXIT_OK;
        DemoFeederSettings settings;
        settings.strName = config().getString("demo.name", commandName() + ".exe");
        settings.strService = config().getString("demo.service", commandName());
        settings.strHost = config().getString("demo.host", settings.strHost);
        settings.nPort = static_cast<uint16_t>(config().getUInt("demo.port", settings.nPort));
        settings.nTimeoutMs = config().getUInt("demo.timeoutMs", settings.nTimeoutMs);
        settings.nIntervalMs = config().getUInt("demo.intervalMs", settings.nIntervalMs);
        settings.nStopFeedingAfterSec = config().getInt("demo.stopFeedingAfter", -1);
        int fromEnv = 0;
        if (Poco::NumberParser::tryParse(Poco::Environment::get("DEMO_STOP_FEEDING_AFTER", ""), fromEnv))
            settings.nStopFeedingAfterSec = fromEnv;

        logger().information("started, pid " + std::to_string(Poco::Process::id()));
        if (!config().getBool("demo.register", true))
        {
            waitForTerminationRequest();
        }
        else
        {
            DemoFeeder feeder(settings, logger());
            feeder.start();
            waitForTerminationRequest();
        }
        logger().information("stopping");
        Poco::Thread::sleep(config().getInt("demo.stopDelayMs", 0));
        return EXIT_OK;
    }

private:
    bool m_bHelp = false;
};

int wmain(int argc, wchar_t** argv)
{
    Poco::Net::initializeNetwork();
    DemoService app;
    const int rc = app.run(argc, argv);
    Poco::Net::uninitializeNetwork();
    return rc;
}

#include "ZelvinWatchdog.h"

#include "ConfigLookup.h"
#include "CrashDumper.h"
#include "LogRecord.h"
#include "ServiceNotifier.h"
#include "StallGuard.h"
#include "System.h"
#include "WatchdogFolders.h"
#include "WatchdogServerModule.h"
#include "ZelvinFileConfiguration.h"
#include "ZvLog.h"

#include <Poco/Environment.h>
#include <Poco/Logger.h>
#include <Poco/Path.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionCallback.h>

#include <iostream>

using Poco::Util::Application;
using Poco::Util::HelpFormatter;
using Poco::Util::Option;
using Poco::Util::OptionCallback;
using Poco::Util::OptionSet;
using Poco::Util::ServerApplication;

namespace
{
// The watchdog's children (`net`) read the allow-list beside the
// configuration this run found, and keep their queues and locks in the
// runtime folder this run uses, whatever their own lookup would find.
void handFoldersToChildren(const std::string& configPath)
{
    Poco::Environment::set(zvconfig::CONFIG_DIR_VARIABLE,
                           Poco::Path(configPath).absolute().parent().toString());
    try
    {
        Poco::Environment::set("ZELVIN_RUNTIME_DIR", runtimeFolder());
    }
    catch (const Poco::Exception& exc)
    {
        // No folder to hand on; the children look for it themselves and say so.
        DIAG_ERROR("[%s %?d] %s", exc.displayText());
    }
}
} // namespace

ZelvinWatchdog::ZelvinWatchdog() : m_bHelpRequested(false) {}

ZelvinWatchdog::~ZelvinWatchdog() = default;

void ZelvinWatchdog::initialize(Application& self)
{
    // The configuration is loaded before the framework initialises itself, and
    // logging is set up from it afterwards. None of these calls is checked
    // here: the utility library raises a clear exception for a missing file or
    // key, and that ends the run.
    const std::string path = System::getConfigFilePath("Watchdog.xml");
    ZelvinFileConfiguration::getInstance()->loadConfiguration(path);
    ServerApplication::initialize(self);
    const int logType = ZelvinFileConfiguration::getInstance()->getInt("Log.Type[@value]");
    ZV_InitLog("Watchdog.xml", logType, 1, "", "");
    ZV_WatchLogLevelChanged();
    handFoldersToChildren(path);
    WTD_PLAIN_INFO("Watchdog SERVER initialize ok");
}

void ZelvinWatchdog::uninitialize()
{
    logger().information("shutting down");
    ServerApplication::uninitialize();
}

void ZelvinWatchdog::defineOptions(OptionSet& options)
{
    ServerApplication::defineOptions(options);
    options.addOption(Option("help", "h", "display help information on command line arguments", false)
                          .required(false)
                          .repeatable(false)
                          .callback(OptionCallback<ZelvinWatchdog>(this, &ZelvinWatchdog::handleHelp)));
}

void ZelvinWatchdog::handleHelp(const std::string& /*name*/, const std::string& /*value*/)
{
    m_bHelpRequested = true;
    displayHelp();
    stopOptionsProcessing();
}

void ZelvinWatchdog::displayHelp()
{
    HelpFormatter helpFormatter(options());
    helpFormatter.setCommand(commandName());
    helpFormatter.setUsage("OPTIONS");
    helpFormatter.setHeader(
        "A DUDAridiv application that demonstrates some of the features of the Util::ZelvinServerApplication class.");
    helpFormatter.format(std::cout);
}

void ZelvinWatchdog::startStallGuard(StallGuard& guard)
{
    try
    {
        if (const auto limit = StallGuard::limitFromEnvironment())
        {
            guard.start(*limit);
            DIAG_INFO("[%s %?d] the process ends itself when its worker stops for %?d s (%s)",
                      static_cast<int>(limit->count()), std::string(StallGuard::VARIABLE));
        }
    }
    catch (const Poco::Exception& exc)
    {
        DIAG_ERROR("[%s %?d] %s; the process does not end itself when its worker stops", exc.displayText());
    }
}

int ZelvinWatchdog::main(const std::vector<std::string>& /*args*/)
{
    WTD_PLAIN_INFO("ZelvinWatchdog running....");
    CrashDumper::Install();
    if (m_bHelpRequested)
        return Application::EXIT_OK;

    WatchdogServerModule* pModule = nullptr;
    try
    {
        // Creating the module chooses the service manager and reads the
        // allow-list: an unknown ZELVIN_SERVICE_MANAGER or
        // ZELVIN_SYSTEMD_SCOPE, or a list another account could have
        // written, is a configuration error, and nothing is started.
        pModule = &WatchdogServerModule::getInstance();
    }
    catch (const Poco::Exception& exc)
    {
        std::cerr << exc.displayText() << std::endl;
        DIAG_ERROR("[%s %?d] %s", exc.displayText());
        return Application::EXIT_CONFIG;
    }
    WatchdogServerModule& module = *pModule;
    // init's result is deliberately not examined: a failed integrity check has
    // already ended the process, and anything else leaves it idle but alive.
    // Its exceptions (the port taken, the service manager not answering) end
    // the run through the framework.
    module.init();
    // systemd (Type=notify) learns that the watchdog serves, and restarts it
    // when the worker stops making progress.
    ServiceNotifier notifier([&module] { return module.progressCount(); });
    // Where no manager watches the worker (Windows), the process ends itself
    // when the worker stops, for the service's recovery to start it again.
    StallGuard guard([&module] { return module.progressCount(); }, [&module] { return module.isServing(); });
    if (module.isServing())
    {
        notifier.notifyReady();
        startStallGuard(guard);
    }
    waitForTerminationRequest();
    return Application::EXIT_OK;
}

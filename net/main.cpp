// net start NAME / net stop NAME: the Linux stand-in for the Windows command
// the watchdog runs to restart services, with that command's messages and
// exit codes (0 done, 2 refused or failed, 1 usage).

#include "CommandAdmission.h"
#include "FolderCommands.h"
#include "NetSettings.h"
#include "ServiceManagerChoice.h"
#include "SystemdCommands.h"
#include "UnitName.h"

#include <Poco/Exception.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <strings.h>

namespace
{
int usage()
{
    std::fputs("The syntax of this command is:\n\nNET START | STOP service\n", stderr);
    return 1;
}

int refuse(const std::string& text, int iHelpMsg)
{
    std::fprintf(stderr, "%s\n\nMore help is available by typing NET HELPMSG %d.\n", text.c_str(), iHelpMsg);
    return 2;
}

int report(const std::string& name, const NetResult& result)
{
    switch (result.eOutcome)
    {
    case NetOutcome::NET_STARTED:
        std::printf("The %s service is starting.\nThe %s service was started successfully.\n", name.c_str(),
                    name.c_str());
        return 0;
    case NetOutcome::NET_STOPPED:
        std::printf("The %s service is stopping.\nThe %s service was stopped successfully.\n", name.c_str(),
                    name.c_str());
        return 0;
    case NetOutcome::NET_INVALID_NAME:
        return refuse("The service name is invalid.", 2185);
    case NetOutcome::NET_ALREADY_STARTED:
        return refuse("The requested service has already been started.", 2182);
    case NetOutcome::NET_NOT_STARTED:
        return refuse("The " + name + " service is not started.", 3521);
    case NetOutcome::NET_COULD_NOT_START:
        return refuse("The " + name + " service could not be started.", 3534);
    case NetOutcome::NET_NOT_CONTROLLABLE:
        return refuse("The service could not be controlled in its present state.", 2189);
    case NetOutcome::NET_SYSTEM_ERROR:
        break;
    }
    std::fprintf(stderr, "A system error has occurred.\n\n%s\n", result.strDetail.c_str());
    return 2;
}

// Every command of every service manager passes here: admitted to the
// service's queue in `strQueueFile` (at most one at work and one waiting, in
// launch order), or refused at once.
NetResult runAdmitted(const std::string& strQueueFile, const std::string& name, const NetSettings& settings,
                      const std::function<NetResult()>& command)
{
    CommandAdmission admission(strQueueFile, name, settings.iLockTimeoutMs);
    if (!admission.admitted())
        return {NetOutcome::NET_NOT_CONTROLLABLE, {}};
    admission.waitForTurn();
    return command();
}

NetResult run(bool bStart, const std::string& name, const NetSettings& settings)
{
    try
    {
        // The watchdog's rule, so net acts on the service the watchdog asked
        // about; an unknown value is refused naming its variable.
        const ServiceManagerChoice choice = chooseServiceManager();
        if (choice.eKind == SERVICE_MANAGER_SYSTEMD)
        {
            auto command = [&]()
            {
                return bStart ? startSystemdService(name, settings, choice.bUserScope)
                              : stopSystemdService(name, settings, choice.bUserScope);
            };
            // Only a valid unit name makes a path, or reaches the manager.
            const std::string unit = serviceUnitName(name);
            if (!isValidServiceUnitName(unit))
                return {NetOutcome::NET_INVALID_NAME, {}};
            return runAdmitted(systemdAdmissionFolder(choice.bUserScope) + "/" + unit + ".queue", name,
                               settings, command);
        }
        std::optional<std::string> queueFile = folderQueueFile(name);
        if (!queueFile)
            return {NetOutcome::NET_INVALID_NAME, {}};
        return runAdmitted(*queueFile, name, settings,
                           [&]()
                           { return bStart ? startService(name, settings) : stopService(name, settings); });
    }
    catch (const Poco::Exception& ex)
    {
        return {NetOutcome::NET_SYSTEM_ERROR, ex.displayText()};
    }
    catch (const std::exception& ex)
    {
        return {NetOutcome::NET_SYSTEM_ERROR, ex.what()};
    }
}
} // namespace

int main(int argc, char** argv)
{
    // The watchdog's worker thread blocks SIGTERM and SIGPIPE, and a child
    // inherits its mask: without this a stuck net could not be ended.
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);

    if (argc != 3)
        return usage();
    const std::string name = argv[2];
    NetSettings settings = NetSettings::fromEnvironment();
    if (strcasecmp(argv[1], "start") == 0)
        return report(name, run(true, name, settings));
    if (strcasecmp(argv[1], "stop") == 0)
        return report(name, run(false, name, settings));
    return usage();
}

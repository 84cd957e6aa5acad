#include "NetCommand.h"

#include "CommandAdmission.h"
#include "ConfigFolder.h"
#include "FolderCommands.h"
#include "ServiceAllowList.h"
#include "ServiceManagerChoice.h"
#include "SystemdCommands.h"
#include "UnitName.h"

#include <Poco/Exception.h>

#include <csignal>
#include <functional>

namespace
{
// Every command of every service manager passes here: admitted to the
// service's queue, the file `strQueueName` of `folder` (at most one at work
// and one waiting, in launch order), or refused at once.
NetResult runAdmitted(const PrivateFolder& folder, const std::string& strQueueName, const std::string& name,
                      const NetSettings& settings, const std::function<NetResult()>& command)
{
    CommandAdmission admission(folder, strQueueName, name, settings.iLockTimeoutMs);
    if (!admission.admitted())
        return {NetOutcome::NET_NOT_CONTROLLABLE, {}};
    admission.waitForTurn();
    return command();
}

// Whether the operator lets the watchdog control `name`: the same list the
// watchdog reads. Without services.d the service folder is itself the list;
// on systemd only the dependent services may be controlled.
bool isAllowed(const std::string& name, const ServiceManagerChoice& choice)
{
    const ServiceAllowList::Fallback eFallback = choice.eKind == SERVICE_MANAGER_FOLDER
                                                     ? ServiceAllowList::FALLBACK_ANY
                                                     : ServiceAllowList::FALLBACK_DEPENDENT_ONLY;
    return ServiceAllowList::read(configFolder(), eFallback, false).allows(name);
}

} // namespace

NetResult runNetCommand(bool bStart, const std::string& name, const NetSettings& settings)
{
    // The watchdog's rule, so net acts on the service the watchdog asked
    // about; an unknown value is refused naming its variable.
    const ServiceManagerChoice choice = chooseServiceManager();
    if (!isAllowed(name, choice))
        return {NetOutcome::NET_INVALID_NAME, {}};
    if (choice.eKind == SERVICE_MANAGER_SYSTEMD)
    {
        // Only a valid unit name makes a path, or reaches the manager.
        const std::string unit = serviceUnitName(name);
        if (!isValidServiceUnitName(unit))
            return {NetOutcome::NET_INVALID_NAME, {}};
        const PrivateFolder queues = systemdAdmissionFolder(choice.bUserScope);
        return runAdmitted(queues, unit + ".queue", name, settings,
                           [&]()
                           {
                               return bStart ? startSystemdService(name, settings, choice.bUserScope)
                                             : stopSystemdService(name, settings, choice.bUserScope);
                           });
    }
    std::optional<ServiceFolder> folder = folderOfService(name);
    if (!folder)
        return {NetOutcome::NET_INVALID_NAME, {}};
    const PrivateFolder commands = folder->commandFolder(true);
    return runAdmitted(commands, ServiceFolder::queueFileName(name), name, settings,
                       [&]()
                       {
                           return bStart ? startService(*folder, commands, name, settings)
                                         : stopService(*folder, commands, name, settings);
                       });
}

void prepareNetProcess()
{
    // The watchdog's worker thread blocks SIGTERM and SIGPIPE, and a child
    // inherits its mask: without this a stuck net could not be ended.
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
}

std::vector<std::string> netArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

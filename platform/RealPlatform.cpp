#include "WatchdogPlatform.h"

#include "FileRegistryStore.h"
#include "InstallIntegrity.h"
#include "ServiceControlFactory.h"
#include "ServiceManagerName.h"
#include "StatusFiles.h"
#include "System.h"
#include "SystemProcessLauncher.h"
#include "WatchdogFolders.h"

namespace
{
class SystemSecondsClock : public SecondsClock
{
public:
    uint32_t getSecondCount() override { return System::getSecondCount(); }
};

class SystemInstallGuard : public InstallGuard
{
public:
    int checkIntegrity() override { return ZV_CheckInstallIntegrity(); }
    bool findAndKillProcessByName(const std::string& imageName) override
    {
        return System::findAndKillProcessByName(imageName);
    }
};
} // namespace

WatchdogPlatform realPlatform()
{
    // Never destroyed on purpose: the watchdog module that holds references to
    // these may itself be torn down during static destruction, after
    // function-local statics of this file would already be gone.
    static auto* pClock = new SystemSecondsClock();
    static auto* pServices = makeSystemServiceControl().release();
    static auto* pProcesses = new SystemProcessLauncher();
    static auto* pInstall = new SystemInstallGuard();
    static auto* pStatus = StatusFiles::fromEnvironment().release();
    static RegistryStore* pStore = []() -> RegistryStore*
    {
        const std::optional<std::string> folder = stateFolder();
        return folder ? new FileRegistryStore(*folder) : nullptr;
    }();
    return WatchdogPlatform{*pClock,  *pServices, *pProcesses, *pInstall,
                            pStatus,  systemServiceManagerName(), pStore};
}

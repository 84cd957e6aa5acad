#include "NetCommand.h"

#include "ConfigFolder.h"
#include "MutexAdmission.h"
#include "ScmCommands.h"
#include "ServiceAllowList.h"

#include <Poco/Exception.h>
#include <Poco/UnicodeConverter.h>

#include <windows.h>

#include <shellapi.h>

NetResult runNetCommand(bool bStart, const std::string& name, const NetSettings& settings)
{
    // The watchdog's list: without services.d the three dependent services
    // only; names without regard to case, as the manager compares them.
    const ServiceAllowList list =
        ServiceAllowList::read(configFolder(), ServiceAllowList::FALLBACK_DEPENDENT_ONLY, true);
    if (!list.allows(name))
        return {NetOutcome::NET_INVALID_NAME, {}};
    MutexAdmission admission(name, settings.iLockTimeoutMs);
    if (!admission.admitted())
        return {NetOutcome::NET_NOT_CONTROLLABLE, {}};
    admission.waitForTurn();
    return bStart ? startScmService(name, settings) : stopScmService(name, settings);
}

void prepareNetProcess()
{
    // No dialog box for a crash or a missing drive: net runs unattended,
    // under a service.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

std::vector<std::string> netArguments(int, char**)
{
    // argv is in the ANSI code page; the wide command line has every name.
    std::vector<std::string> vecArgs;
    int iCount = 0;
    LPWSTR* pArgs = ::CommandLineToArgvW(::GetCommandLineW(), &iCount);
    if (pArgs == nullptr)
        return vecArgs;
    for (int i = 1; i < iCount; ++i)
    {
        std::string arg;
        Poco::UnicodeConverter::toUTF8(pArgs[i], arg);
        vecArgs.push_back(arg);
    }
    ::LocalFree(pArgs);
    return vecArgs;
}

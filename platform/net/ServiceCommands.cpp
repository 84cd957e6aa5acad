#include "ServiceCommands.h"

#include "ProcStat.h"
#include "ServiceFolder.h"
#include "ServiceLock.h"
#include "ServiceSpawner.h"
#include "SiblingOrder.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <sys/wait.h>
#include <thread>

namespace
{
const int POLL_MS = 25;
// After SIGKILL a process ends as soon as it is scheduled; this only bounds a
// process stuck in the kernel.
const int KILL_WAIT_MS = 5000;

using Clock = std::chrono::steady_clock;

// The recorded process, if it still runs. A pid file that cannot be parsed
// was not written by net (it writes atomically under the lock), so it is
// treated as stale and overwritten or removed rather than blocking the
// service for good.
std::optional<ServicePid> runningPid(const ServiceFolder& folder, const std::string& name)
{
    std::optional<ServicePid> pid;
    try
    {
        pid = folder.readPid(name);
    }
    catch (const Poco::DataFormatException&)
    {
        return std::nullopt;
    }
    if (pid && !ServiceFolder::isAlive(*pid))
        return std::nullopt;
    return pid;
}

// Whether our child `pid` is still up after `iSettleMs`; reaps it if not.
bool survivesSettle(int pid, int iSettleMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(iSettleMs);
    for (;;)
    {
        pid_t res = ::waitpid(pid, nullptr, WNOHANG);
        if (res == pid || (res < 0 && errno != EINTR))
            return false;
        if (Clock::now() >= deadline)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
}

bool waitForEnd(const ServicePid& pid, int iTimeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (ServiceFolder::isAlive(pid))
    {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
    return true;
}

// The service leads its own process group, so the group takes its helpers
// along. Should it have left its group, the process itself is signalled.
void signalService(const ServicePid& pid, int sig)
{
    if (::kill(-pid.iPid, sig) != 0)
        ::kill(pid.iPid, sig);
}

NetResult start(const ServiceFolder& folder, const std::string& name, const NetSettings& settings)
{
    ServiceLock lock(folder.serviceDir(name) + "/.lock", settings.iLockTimeoutMs);
    if (runningPid(folder, name))
        return {NetOutcome::NET_ALREADY_STARTED, {}};
    int pid = spawnService(folder.serviceDir(name), name);
    if (pid < 0)
        return {NetOutcome::NET_COULD_NOT_START, {}};
    try
    {
        // Our unreaped child, so its stat is there even should it have ended.
        std::optional<ProcStat::Info> info = ProcStat::read(pid);
        folder.writePid(name, ServicePid{pid, info ? info->uStartTime : 0});
    }
    catch (...)
    {
        // Unrecorded it could never be stopped: take it down again.
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw;
    }
    if (!survivesSettle(pid, settings.iStartSettleMs))
    {
        folder.removePid(name);
        return {NetOutcome::NET_COULD_NOT_START, {}};
    }
    return {NetOutcome::NET_STARTED, {}};
}

NetResult stop(const ServiceFolder& folder, const std::string& name, const NetSettings& settings)
{
    ServiceLock lock(folder.serviceDir(name) + "/.lock", settings.iLockTimeoutMs);
    std::optional<ServicePid> pid = runningPid(folder, name);
    if (!pid)
    {
        folder.removePid(name);
        return {NetOutcome::NET_NOT_STARTED, {}};
    }
    signalService(*pid, SIGTERM);
    if (!waitForEnd(*pid, settings.iStopTimeoutMs))
    {
        signalService(*pid, SIGKILL);
        if (!waitForEnd(*pid, KILL_WAIT_MS))
            return {NetOutcome::NET_SYSTEM_ERROR, "Process " + std::to_string(pid->iPid) + " did not end"};
    }
    folder.removePid(name);
    return {NetOutcome::NET_STOPPED, {}};
}

template <typename Command>
NetResult guarded(const std::string& name, const NetSettings& settings, Command command)
{
    // Checked before any path is built from the name.
    if (!ServiceFolder::isSafeName(name))
        return {NetOutcome::NET_INVALID_NAME, {}};
    try
    {
        ServiceFolder folder(ServiceFolder::defaultPath());
        if (!folder.isRegistered(name))
            return {NetOutcome::NET_INVALID_NAME, {}};
        // A stop and a start launched back to back must act in that order,
        // whichever of the two reaches the lock first.
        waitForEarlierSiblings(name, settings.iLockTimeoutMs);
        return command(folder, name, settings);
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

NetResult startService(const std::string& name, const NetSettings& settings)
{
    return guarded(name, settings, start);
}

NetResult stopService(const std::string& name, const NetSettings& settings)
{
    return guarded(name, settings, stop);
}

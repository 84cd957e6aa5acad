#include "FolderCommands.h"

#include "FileLock.h"
#include "ProcStat.h"
#include "ProcessSpawn.h"
#include "ProcessWait.h"
#include "ServiceFolder.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// After SIGKILL a process ends as soon as it is scheduled; this only bounds a
// process stuck in the kernel.
const int KILL_WAIT_MS = 5000;

using Clock = std::chrono::steady_clock;

Clock::time_point after(int iMs)
{
    return Clock::now() + std::chrono::milliseconds(iMs);
}

// The recorded service, if it runs. A pid file that cannot be parsed or names
// no service process was not written by net for a running service, so start
// takes it as stale and overwrites it rather than blocking the service.
std::optional<ServicePid> runningService(const ServiceFolder& folder, const std::string& name)
{
    try
    {
        std::optional<ServicePid> pid = folder.readPid(name);
        if (pid && ServiceFolder::isServiceProcess(*pid))
            return pid;
    }
    catch (const Poco::DataFormatException&)
    {
    }
    return std::nullopt;
}

void reap(int pid)
{
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
    {
    }
}

// A descriptor that closes itself.
class OwnedFd
{
public:
    explicit OwnedFd(int fd) : m_fd(fd) {}
    ~OwnedFd() { ::close(m_fd); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

OwnedFd openOrThrow(const std::string& strPath, int flags)
{
    int fd = ::open(strPath.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Poco::SystemException("Cannot open " + strPath, std::strerror(errno));
    return OwnedFd(fd);
}

// Starts <strServiceDir>/run as described at startService. Returns its pid
// once run has been executed; -1 when it could not be, the reason then
// appended to output.log. The caller owns the child.
int spawnService(const std::string& strServiceDir, const std::string& name)
{
    const std::string strRun = strServiceDir + "/run";
    OwnedFd fdNull = openOrThrow("/dev/null", O_RDONLY);
    OwnedFd fdLog = openOrThrow(strServiceDir + "/output.log", O_WRONLY | O_APPEND | O_CREAT);
    ProcessSpawn spawn;
    spawn.addFlags(POSIX_SPAWN_SETSID);
    spawn.dupTo(fdNull.fd(), 0);
    spawn.dupTo(fdLog.fd(), 1);
    spawn.dupTo(fdLog.fd(), 2);
    spawn.changeFolder(strServiceDir);

    // The service's environment is ours and its name; net has no thread
    // that could read the environment meanwhile.
    if (::setenv("ZELVIN_SERVICE_NAME", name.c_str(), 1) != 0)
        throw Poco::SystemException("Cannot set ZELVIN_SERVICE_NAME", std::strerror(errno));

    pid_t pid = 0;
    const int error = spawn.spawn(pid, {strRun}, environ);
    if (error == 0)
        return pid;
    const std::string strWhy = "net: cannot execute " + strRun + ": " + std::strerror(error) + "\n";
    ssize_t n = ::write(fdLog.fd(), strWhy.data(), strWhy.size());
    (void)n;
    return -1;
}

NetResult refuseToSignal(const std::string& strWhy)
{
    return {NetOutcome::NET_SYSTEM_ERROR, strWhy + "; nothing was signalled."};
}

// The service leads its own process group, so the group takes its helpers
// along. Checked right before: never a group that is not the service's.
bool signalService(const ServicePid& pid, int sig)
{
    return ServiceFolder::isServiceProcess(pid) && ::kill(-pid.iPid, sig) == 0;
}

// The service's pending lock for one start or stop, removed as it is let go:
// only the command at work takes it, so no other command waits for the file,
// and none is left behind.
class PendingLock
{
public:
    PendingLock(const PrivateFolder& commands, const std::string& name, int iTimeoutMs)
        : m_lock(commands, ServiceFolder::pendingFileName(name), iTimeoutMs)
    {
    }
    ~PendingLock() { m_lock.removeFile(); }
    PendingLock(const PendingLock&) = delete;
    PendingLock& operator=(const PendingLock&) = delete;

private:
    FileLock m_lock;
};
} // namespace

std::optional<ServiceFolder> folderOfService(const std::string& name)
{
    // Checked before any path is built from the name.
    if (!ServiceFolder::isSafeName(name))
        return std::nullopt;
    ServiceFolder folder(ServiceFolder::defaultPath());
    if (!folder.isRegistered(name))
        return std::nullopt;
    return folder;
}

NetResult startService(const ServiceFolder& folder, const PrivateFolder& commands, const std::string& name,
                       const NetSettings& settings)
{
    if (runningService(folder, name))
        return {NetOutcome::NET_ALREADY_STARTED, {}};
    PendingLock pending(commands, name, settings.iLockTimeoutMs);
    const int pid = spawnService(folder.serviceDir(name), name);
    if (pid < 0)
        return {NetOutcome::NET_COULD_NOT_START, {}};
    // Our unreaped child: its stat is there even should it have ended.
    std::optional<ProcStat::Info> info = ProcStat::read(pid);
    const ServicePid child{pid, info ? info->uStartTime : 0};
    try
    {
        folder.writePid(name, child);
    }
    catch (...)
    {
        // Unrecorded it could never be stopped: take it down again.
        ::kill(-pid, SIGKILL);
        reap(pid);
        throw;
    }
    if (waitForEnd(child, after(settings.iStartSettleMs)) == WaitOutcome::WAIT_ENDED)
    {
        reap(pid);
        folder.removePid(name);
        return {NetOutcome::NET_COULD_NOT_START, {}};
    }
    return {NetOutcome::NET_STARTED, {}};
}

NetResult stopService(const ServiceFolder& folder, const PrivateFolder& commands, const std::string& name,
                      const NetSettings& settings)
{
    const std::string strPidFile = folder.serviceDir(name) + "/pid";
    std::optional<ServicePid> pid;
    try
    {
        pid = folder.readPid(name);
    }
    catch (const Poco::DataFormatException& ex)
    {
        return refuseToSignal(ex.message());
    }
    if (pid && pid->iPid == 1)
        return refuseToSignal("Pid file " + strPidFile + " names process 1, which is no service");
    if (!pid || !ServiceFolder::isAlive(*pid))
    {
        folder.removePid(name);
        return {NetOutcome::NET_NOT_STARTED, {}};
    }
    if (!ServiceFolder::isServiceProcess(*pid))
        return refuseToSignal(
            "Pid file " + strPidFile + " names process " + std::to_string(pid->iPid) +
            ", which does not lead a session and process group of its own as a service does");

    PendingLock pending(commands, name, settings.iLockTimeoutMs);
    signalService(*pid, SIGTERM);
    if (waitForEnd(*pid, after(settings.iStopTimeoutMs)) != WaitOutcome::WAIT_ENDED)
    {
        signalService(*pid, SIGKILL);
        if (waitForEnd(*pid, after(KILL_WAIT_MS)) != WaitOutcome::WAIT_ENDED)
            return {NetOutcome::NET_SYSTEM_ERROR, "Process " + std::to_string(pid->iPid) + " did not end"};
    }
    folder.removePid(name);
    return {NetOutcome::NET_STOPPED, {}};
}

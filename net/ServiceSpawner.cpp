#include "ServiceSpawner.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// A descriptor that closes itself, for the files opened before fork.
struct Fd
{
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

int openOrThrow(const std::string& strPath, int flags)
{
    int fd = ::open(strPath.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Poco::SystemException("Cannot open " + strPath, std::strerror(errno));
    return fd;
}

// Exec keeps ignored signals ignored and the blocked mask as it is; whatever
// the caller (the watchdog's worker thread) had must not reach the service.
void resetSignals()
{
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &sa, nullptr); // fails harmlessly for SIGKILL/SIGSTOP
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
}

// Marks every descriptor from 3 on close-on-exec rather than closing it, so
// the exec-error pipe stays usable until exec succeeds.
void closeExtraDescriptorsOnExec()
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    long lMax = ::sysconf(_SC_OPEN_MAX);
    if (lMax < 0 || lMax > 1048576)
        lMax = 1048576;
    for (int fd = 3; fd < lMax; ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void runChild(const std::string& strDir, const std::string& strRun, const std::string& strName,
                           int fdNull, int fdLog, int fdErr)
{
    ::setsid();
    resetSignals();
    int err = 0;
    if (::dup2(fdNull, 0) < 0 || ::dup2(fdLog, 1) < 0 || ::dup2(fdLog, 2) < 0)
        err = errno;
    else if (::chdir(strDir.c_str()) != 0 || ::setenv("ZELVIN_SERVICE_NAME", strName.c_str(), 1) != 0)
        err = errno;
    if (err == 0)
    {
        closeExtraDescriptorsOnExec();
        char* argv[] = {const_cast<char*>(strRun.c_str()), nullptr};
        ::execv(strRun.c_str(), argv);
        err = errno;
        std::fprintf(stderr, "net: cannot execute %s: %s\n", strRun.c_str(), std::strerror(err));
    }
    ssize_t n = ::write(fdErr, &err, sizeof err);
    (void)n;
    ::_exit(127);
}
} // namespace

int spawnService(const std::string& strServiceDir, const std::string& strName)
{
    const std::string strRun = strServiceDir + "/run";
    Fd fdNull(openOrThrow("/dev/null", O_RDONLY));
    Fd fdLog(openOrThrow(strServiceDir + "/output.log", O_WRONLY | O_APPEND | O_CREAT));
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw Poco::SystemException("Cannot create a pipe", std::strerror(errno));
    Fd fdRead(pipeFds[0]);
    Fd fdWrite(pipeFds[1]);

    pid_t pid = ::fork();
    if (pid < 0)
        throw Poco::SystemException("Cannot fork", std::strerror(errno));
    if (pid == 0)
        runChild(strServiceDir, strRun, strName, fdNull.fd, fdLog.fd, fdWrite.fd);

    // The pipe reaches end-of-file when exec closes the child's end; an int
    // arrives instead when the child failed before or at exec.
    ::close(fdWrite.fd);
    fdWrite.fd = -1;
    int childErr = 0; // the child's errno, already logged by the child
    ssize_t n;
    do
        n = ::read(fdRead.fd, &childErr, sizeof childErr);
    while (n < 0 && errno == EINTR);
    if (n > 0)
    {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
        {
        }
        return -1;
    }
    return pid;
}

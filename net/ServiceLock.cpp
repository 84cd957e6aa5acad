#include "ServiceLock.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

void onAlarm(int) {}

// SIGALRM interrupts a waiting F_OFD_SETLKW (no SA_RESTART) and does nothing
// else.
void armAlarm(Clock::duration left)
{
    static bool bInstalled = false;
    if (!bInstalled)
    {
        struct sigaction sa = {};
        sa.sa_handler = onAlarm;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGALRM, &sa, nullptr);
        bInstalled = true;
    }
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    if (us < 1000)
        us = 1000;
    struct itimerval timer = {};
    timer.it_value.tv_sec = static_cast<time_t>(us / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(us % 1000000);
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

void disarmAlarm()
{
    struct itimerval timer = {};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
}

// 0 once locked, else the errno; EINTR only when the deadline has passed.
int lockUntil(int fd, Clock::time_point deadline)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) == 0)
        return 0;
    if (errno != EAGAIN && errno != EACCES)
        return errno;
    for (;;)
    {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return EINTR;
        armAlarm(left);
        int res = ::fcntl(fd, F_OFD_SETLKW, &whole);
        int err = res == 0 ? 0 : errno;
        disarmAlarm();
        if (err != EINTR)
            return err;
    }
}

// Whether `fd` is still the file at `strFile` (its holder may have removed it).
bool isStillThere(int fd, const std::string& strFile)
{
    struct stat stOpen, stPath;
    return ::fstat(fd, &stOpen) == 0 && ::stat(strFile.c_str(), &stPath) == 0 &&
           stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
}
} // namespace

ServiceLock::ServiceLock(const std::string& strFile, int iTimeoutMs) : m_strFile(strFile)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;)
    {
        m_fd = ::open(strFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            throw Poco::FileException("Cannot open lock file " + strFile, std::strerror(errno));
        int err = lockUntil(m_fd, deadline);
        if (err == 0 && isStillThere(m_fd, strFile))
            return;
        ::close(m_fd);
        m_fd = -1;
        if (err == EINTR)
            throw Poco::TimeoutException("Another net command holds " + strFile);
        if (err != 0)
            throw Poco::FileException("Cannot lock " + strFile, std::strerror(err));
    }
}

ServiceLock::~ServiceLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void ServiceLock::removeFile()
{
    ::unlink(m_strFile.c_str());
}

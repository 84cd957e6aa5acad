#include "ServiceLock.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

ServiceLock::ServiceLock(const std::string& strFile, int iTimeoutMs)
    : m_fd(::open(strFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
{
    if (m_fd < 0)
        throw Poco::FileException("Cannot open lock file " + strFile, std::strerror(errno));
    // flock has no timeout of its own; the holder is another short-lived net,
    // so retrying a few times a second is cheap.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
    {
        int err = errno;
        if (err != EWOULDBLOCK && err != EINTR)
        {
            ::close(m_fd);
            throw Poco::FileException("Cannot lock " + strFile, std::strerror(err));
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            ::close(m_fd);
            throw Poco::TimeoutException("Another net command holds " + strFile);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ServiceLock::~ServiceLock()
{
    ::close(m_fd);
}

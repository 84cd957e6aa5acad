#include "FileLock.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

// The locks are held for microseconds (a queue) or for one start or stop (a
// service's pending lock, which admitted commands never contend for): the
// first retries come soon, later ones back off so a long wait costs little.
const auto FIRST_RETRY = std::chrono::milliseconds(1);
const auto LONGEST_RETRY = std::chrono::milliseconds(50);

// 0 once locked, ETIMEDOUT when the deadline passed first, else the errno.
int lockUntil(int fd, Clock::time_point deadline)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    Clock::duration pause = FIRST_RETRY;
    while (::fcntl(fd, F_OFD_SETLK, &whole) != 0)
    {
        if (errno != EAGAIN && errno != EACCES)
            return errno;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return ETIMEDOUT;
        std::this_thread::sleep_for(std::min(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, LONGEST_RETRY);
    }
    return 0;
}

// Whether `fd` is still the file `strName` in `folder` (its holder may have
// removed it).
bool isStillThere(int fd, const PrivateFolder& folder, const std::string& strName)
{
    struct stat stOpen, stPath;
    return ::fstat(fd, &stOpen) == 0 &&
           ::fstatat(folder.fd(), strName.c_str(), &stPath, AT_SYMLINK_NOFOLLOW) == 0 &&
           stOpen.st_dev == stPath.st_dev && stOpen.st_ino == stPath.st_ino;
}
} // namespace

FileLock::FileLock(const PrivateFolder& folder, const std::string& strName, int iTimeoutMs)
    : m_folder(folder), m_strName(strName)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;)
    {
        m_fd = folder.openFile(strName, O_RDWR | O_CREAT);
        int err = lockUntil(m_fd, deadline);
        if (err == 0 && isStillThere(m_fd, folder, strName))
            return;
        ::close(m_fd);
        m_fd = -1;
        if (err == ETIMEDOUT)
            throw Poco::TimeoutException("Another net command holds " + file());
        if (err != 0)
            throw Poco::FileException("Cannot lock " + file(), std::strerror(err));
    }
}

FileLock::~FileLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void FileLock::removeFile()
{
    ::unlinkat(m_folder.fd(), m_strName.c_str(), 0);
}

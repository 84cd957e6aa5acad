#include "PrivateFolder.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Group or others may read, write or search.
const mode_t SHARED_BITS = S_IRWXG | S_IRWXO;

// Refuses what another account could have changed: owned by neither root nor
// us, writable by group or others, or not of the kind expected. Returns the
// mode.
mode_t requirePrivate(int fd, const std::string& strPath, bool bFolder)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw Poco::FileException("Cannot look at " + strPath, std::strerror(errno));
    if (bFolder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        throw Poco::FileAccessDeniedException(strPath + (bFolder ? " is no folder" : " is no regular file") +
                                              ": refused");
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        throw Poco::FileAccessDeniedException(strPath + " belongs to another account (uid " +
                                              std::to_string(st.st_uid) + "): refused");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw Poco::FileAccessDeniedException(strPath + " may be written by other accounts: refused");
    return st.st_mode;
}

void requireOneComponent(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw Poco::InvalidArgumentException("Not a file name: " + name);
}

[[noreturn]] void refuseToOpen(const std::string& strPath, int err)
{
    if (err == ELOOP || err == ENOTDIR)
        throw Poco::FileAccessDeniedException(strPath + " is a symbolic link or no folder: refused");
    if (err == ENOENT)
        throw Poco::FileNotFoundException(strPath, std::strerror(err));
    throw Poco::FileException("Cannot open " + strPath, std::strerror(err));
}
} // namespace

PrivateFolder PrivateFolder::open(const std::string& strPath, mode_t createMode)
{
    int fd = ::open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && createMode != 0)
    {
        if (::mkdir(strPath.c_str(), createMode) != 0 && errno != EEXIST)
            throw Poco::FileException("Cannot create " + strPath, std::strerror(errno));
        fd = ::open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        refuseToOpen(strPath, errno);
    PrivateFolder folder(strPath, fd);
    requirePrivate(fd, strPath, true);
    return folder;
}

PrivateFolder PrivateFolder::folder(const std::string& name, mode_t createMode) const
{
    requireOneComponent(name);
    const std::string strPath = m_strPath + "/" + name;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(m_fd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && createMode != 0)
    {
        if (::mkdirat(m_fd, name.c_str(), createMode) != 0 && errno != EEXIST)
            throw Poco::FileException("Cannot create " + strPath, std::strerror(errno));
        fd = ::openat(m_fd, name.c_str(), flags);
    }
    if (fd < 0)
        refuseToOpen(strPath, errno);
    PrivateFolder folder(strPath, fd);
    const mode_t mode = requirePrivate(fd, strPath, true);
    // Left by an earlier release that made it readable for all: from now on
    // no other account opens anything in it.
    if (createMode != 0 && (mode & SHARED_BITS & ~createMode) != 0)
        (void)::fchmod(fd, createMode);
    return folder;
}

int PrivateFolder::openFile(const std::string& name, int flags) const
{
    requireOneComponent(name);
    const std::string strPath = m_strPath + "/" + name;
    int fd = ::openat(m_fd, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0)
    {
        const int err = errno;
        if (err == ENOENT && (flags & O_CREAT) == 0)
            return -1;
        if (err == ELOOP)
            throw Poco::FileAccessDeniedException(strPath + " is a symbolic link: refused");
        throw Poco::FileException("Cannot open " + strPath, std::strerror(err));
    }
    try
    {
        if ((requirePrivate(fd, strPath, false) & SHARED_BITS) != 0)
            (void)::fchmod(fd, S_IRUSR | S_IWUSR);
    }
    catch (...)
    {
        ::close(fd);
        throw;
    }
    return fd;
}

PrivateFolder::PrivateFolder(PrivateFolder&& other) noexcept
    : m_strPath(std::move(other.m_strPath)), m_fd(other.m_fd)
{
    other.m_fd = -1;
}

PrivateFolder& PrivateFolder::operator=(PrivateFolder&& other) noexcept
{
    if (this != &other)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_strPath = std::move(other.m_strPath);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

PrivateFolder::~PrivateFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

#include "FileRegistryStore.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/LocalDateTime.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const mode_t FOLDER_MODE = 0700;
const mode_t FILE_MODE = 0600;

[[noreturn]] void fail(const std::string& what, const std::string& path, int error = errno)
{
    const std::string text = what + " " + path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM)
        throw Poco::FileAccessDeniedException(text);
    throw Poco::FileException(text);
}

// Neither another account nor a group may have written what the watchdog
// is about to trust.
void requireOwnOnly(const struct stat& info, const std::string& path)
{
    if (info.st_uid != ::geteuid())
        throw Poco::FileAccessDeniedException(path + " belongs to another account (uid " +
                                              std::to_string(info.st_uid) + ")");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw Poco::FileAccessDeniedException(path + " can be written by other accounts");
}

void writeAll(int fd, const std::string& bytes, const std::string& path)
{
    std::size_t written = 0;
    while (written < bytes.size())
    {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("cannot write", path);
        written += static_cast<std::size_t>(n);
    }
}

void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot open", folder);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        fail("cannot flush", folder, error);
}
} // namespace

FileRegistryStore::FileRegistryStore(std::string folder)
    : m_strFolder(std::move(folder)), m_strFile(m_strFolder + "/registry"), m_strNewFile(m_strFile + ".new")
{
}

void FileRegistryStore::prepareFolder()
{
    if (m_bFolderReady)
        return;
    if (::mkdir(m_strFolder.c_str(), FOLDER_MODE) != 0 && errno == ENOENT)
    {
        // Its parents first, with the usual mode; the folder itself is 0700.
        for (std::size_t slash = m_strFolder.find('/', 1); slash != std::string::npos;
             slash = m_strFolder.find('/', slash + 1))
        {
            const std::string parent = m_strFolder.substr(0, slash);
            if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
                fail("cannot create", parent);
        }
        if (::mkdir(m_strFolder.c_str(), FOLDER_MODE) != 0 && errno != EEXIST)
            fail("cannot create the state folder", m_strFolder);
    }
    struct stat info
    {
    };
    if (::stat(m_strFolder.c_str(), &info) != 0)
        fail("cannot use the state folder", m_strFolder);
    if (!S_ISDIR(info.st_mode))
        throw Poco::FileException(m_strFolder + " is not a folder");
    requireOwnOnly(info, m_strFolder);
    m_bFolderReady = true;
}

std::optional<std::string> FileRegistryStore::load()
{
    prepareFolder();
    const int fd = ::open(m_strFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd < 0)
        fail("cannot open", m_strFile);
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
        fail("cannot read", m_strFile);
    if (!S_ISREG(info.st_mode))
        throw Poco::FileException(m_strFile + " is not a regular file");
    requireOwnOnly(info, m_strFile);
    if (static_cast<uint64_t>(info.st_size) > MAX_FILE_BYTES)
        throw Poco::FileException(m_strFile + " is larger than " + std::to_string(MAX_FILE_BYTES) + " bytes");

    std::string bytes;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (true)
    {
        if (done == bytes.size())
            bytes.resize(done + 4096); // the file may have grown since fstat
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("cannot read", m_strFile);
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
        if (done > MAX_FILE_BYTES)
            throw Poco::FileException(m_strFile + " is larger than " + std::to_string(MAX_FILE_BYTES) +
                                      " bytes");
    }
    bytes.resize(done);
    return bytes;
}

void FileRegistryStore::save(const std::string& bytes)
{
    prepareFolder();
    // A leftover of a save that did not finish is replaced; one that is not
    // a plain file of ours makes the open fail.
    ::unlink(m_strNewFile.c_str());
    const int fd =
        ::open(m_strNewFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, FILE_MODE);
    if (fd < 0)
        fail("cannot create", m_strNewFile);
    try
    {
        writeAll(fd, bytes, m_strNewFile);
        if (::fsync(fd) != 0)
            fail("cannot flush", m_strNewFile);
    }
    catch (...)
    {
        ::close(fd);
        ::unlink(m_strNewFile.c_str());
        throw;
    }
    if (::close(fd) != 0)
    {
        const int error = errno;
        ::unlink(m_strNewFile.c_str());
        fail("cannot write", m_strNewFile, error);
    }
    if (::rename(m_strNewFile.c_str(), m_strFile.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(m_strNewFile.c_str());
        fail("cannot replace", m_strFile, error);
    }
    syncFolder(m_strFolder);
}

std::string FileRegistryStore::setAside()
{
    try
    {
        const std::string base = m_strFile + ".unusable-" +
                                 Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y%m%d-%H%M%S");
        // Only this watchdog uses the folder, so a name found free stays free.
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            const std::string aside = attempt == 0 ? base : base + "-" + std::to_string(attempt);
            if (::access(aside.c_str(), F_OK) == 0)
                continue;
            return ::rename(m_strFile.c_str(), aside.c_str()) == 0 ? aside : std::string();
        }
    }
    catch (...)
    {
    }
    return std::string();
}

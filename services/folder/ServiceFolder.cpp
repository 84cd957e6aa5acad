#include "ServiceFolder.h"

#include "ProcStat.h"
#include "WatchdogFolders.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace
{
const char* const PID_FILE = "pid";
const char* const PENDING_SUFFIX = ".pending";
const char* const QUEUE_SUFFIX = ".queue";

// A pid file holds "PID STARTTIME\n"; anything longer is not one of ours.
const size_t PID_FILE_MAX = 64;

bool parsePid(const std::string& text, ServicePid& out)
{
    const char* p = text.data();
    const char* pEnd = p + text.size();
    while (pEnd > p && (pEnd[-1] == '\n' || pEnd[-1] == ' '))
        --pEnd;
    int iPid = 0;
    auto r1 = std::from_chars(p, pEnd, iPid);
    if (r1.ec != std::errc() || r1.ptr == pEnd || *r1.ptr != ' ')
        return false;
    uint64_t uStart = 0;
    auto r2 = std::from_chars(r1.ptr + 1, pEnd, uStart);
    if (r2.ec != std::errc() || r2.ptr != pEnd)
        return false;
    out = ServicePid{iPid, uStart};
    return true;
}
} // namespace

std::string ServiceFolder::defaultPath()
{
    const char* szEnv = std::getenv("ZELVIN_SERVICE_DIR");
    if (szEnv != nullptr && *szEnv != '\0')
        return szEnv;
    // The sibling of the executable's folder, named plainly rather than with
    // "/../" so messages show the real place. Without /proc the working
    // directory stands in for the executable's folder.
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path parent = ec ? std::filesystem::path(".") : exe.parent_path().parent_path();
    return (parent / "services").string();
}

ServiceFolder::ServiceFolder(std::string strPath) : m_strPath(std::move(strPath))
{
    m_dirFd = m_strPath.empty() ? -1 : ::open(m_strPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0)
    {
        int err = m_strPath.empty() ? ENOENT : errno;
        if (err == ENOTDIR)
            throw Poco::FileNotFoundException("Service folder " + m_strPath + " is not a folder");
        if (err == EACCES)
            throw Poco::FileAccessDeniedException("Service folder " + m_strPath + " cannot be read",
                                                  std::strerror(err));
        throw Poco::FileNotFoundException("Service folder " + m_strPath + " does not exist",
                                          std::strerror(err));
    }
    if (::faccessat(m_dirFd, ".", R_OK | X_OK, 0) != 0)
    {
        int err = errno;
        ::close(m_dirFd);
        throw Poco::FileAccessDeniedException("Service folder " + m_strPath + " cannot be read",
                                              std::strerror(err));
    }
}

ServiceFolder::ServiceFolder(ServiceFolder&& other) noexcept
    : m_strPath(std::move(other.m_strPath)), m_dirFd(other.m_dirFd)
{
    other.m_dirFd = -1;
}

ServiceFolder::~ServiceFolder()
{
    if (m_dirFd >= 0)
        ::close(m_dirFd);
}

bool ServiceFolder::isSafeName(const std::string& name)
{
    return !name.empty() && name.size() <= 255 && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && name != "." && name != "..";
}

std::string ServiceFolder::serviceDir(const std::string& name) const
{
    if (!isSafeName(name))
        throw Poco::InvalidArgumentException("Unsafe service name");
    return m_strPath + "/" + name;
}

bool ServiceFolder::isRegistered(const std::string& name) const
{
    if (!isSafeName(name))
        return false;
    const std::string strRun = name + "/run";
    struct stat st;
    return ::fstatat(m_dirFd, strRun.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode) &&
           ::faccessat(m_dirFd, strRun.c_str(), X_OK, 0) == 0;
}

std::optional<ServicePid> ServiceFolder::readPid(const std::string& name) const
{
    if (!isSafeName(name))
        return std::nullopt;
    std::string strFile = serviceDir(name) + "/" + PID_FILE;
    int fd = ::openat(m_dirFd, (name + "/" + PID_FILE).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        throw Poco::FileException("Cannot read pid file " + strFile, std::strerror(errno));
    }
    std::string text;
    char buf[PID_FILE_MAX + 1];
    for (;;)
    {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            int err = errno;
            ::close(fd);
            throw Poco::FileException("Cannot read pid file " + strFile, std::strerror(err));
        }
        if (n == 0 || text.size() > PID_FILE_MAX)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    ServicePid pid{};
    if (text.size() > PID_FILE_MAX || !parsePid(text, pid))
        throw Poco::DataFormatException("Pid file " + strFile + " is not \"PID STARTTIME\"");
    if (pid.iPid <= 0)
        throw Poco::DataFormatException("Pid file " + strFile + " names pid " + std::to_string(pid.iPid) +
                                        ", which is no process");
    return pid;
}

void ServiceFolder::writePid(const std::string& name, const ServicePid& pid) const
{
    const std::string strFile = serviceDir(name) + "/" + PID_FILE;
    const std::string strTmpName = name + "/.pid.tmp." + std::to_string(::getpid());
    const std::string strName = name + "/" + PID_FILE;
    char szText[PID_FILE_MAX];
    int len = std::snprintf(szText, sizeof szText, "%d %llu\n", pid.iPid,
                            static_cast<unsigned long long>(pid.uStartTime));
    int fd = ::openat(m_dirFd, strTmpName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw Poco::FileException("Cannot write " + m_strPath + "/" + strTmpName, std::strerror(errno));
    ssize_t n = ::write(fd, szText, static_cast<size_t>(len));
    int err = n == len ? 0 : (n < 0 ? errno : EIO);
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::renameat(m_dirFd, strTmpName.c_str(), m_dirFd, strName.c_str()) != 0)
        err = errno;
    if (err != 0)
    {
        ::unlinkat(m_dirFd, strTmpName.c_str(), 0);
        throw Poco::FileException("Cannot write pid file " + strFile, std::strerror(err));
    }
}

void ServiceFolder::removePid(const std::string& name) const
{
    if (isSafeName(name))
        ::unlinkat(m_dirFd, (name + "/" + PID_FILE).c_str(), 0);
}

namespace
{
// What /proc says of the recorded process while it still is that process:
// alive, not a zombie, same start time; nullopt otherwise.
std::optional<ProcStat::Info> liveProcess(const ServicePid& pid)
{
    std::optional<ProcStat::Info> info = ProcStat::read(pid.iPid);
    if (info && ProcStat::isLiveState(info->cState) && info->uStartTime == pid.uStartTime)
        return info;
    return std::nullopt;
}
} // namespace

bool ServiceFolder::isAlive(const ServicePid& pid)
{
    return liveProcess(pid).has_value();
}

bool ServiceFolder::isServiceProcess(const ServicePid& pid)
{
    std::optional<ProcStat::Info> info = liveProcess(pid);
    return pid.iPid > 1 && info && info->iSession == pid.iPid && info->iProcessGroup == pid.iPid;
}

PrivateFolder ServiceFolder::commandFolder(bool bCreate) const
{
    struct stat st;
    if (::fstat(m_dirFd, &st) != 0)
        throw Poco::FileException("Cannot look at service folder " + m_strPath, std::strerror(errno));
    const std::string strKey = "folder-" + std::to_string(static_cast<unsigned long long>(st.st_dev)) + "-" +
                               std::to_string(static_cast<unsigned long long>(st.st_ino));
    const mode_t privateMode = bCreate ? 0700 : 0;
    return PrivateFolder::open(runtimeFolder(), bCreate ? 0755 : 0)
        .folder("net", privateMode)
        .folder(strKey, privateMode);
}

std::string ServiceFolder::pendingFileName(const std::string& name)
{
    if (!isSafeName(name))
        throw Poco::InvalidArgumentException("Unsafe service name");
    return name + PENDING_SUFFIX;
}

std::string ServiceFolder::queueFileName(const std::string& name)
{
    if (!isSafeName(name))
        throw Poco::InvalidArgumentException("Unsafe service name");
    return name + QUEUE_SUFFIX;
}

bool ServiceFolder::isPending(const std::string& name) const
{
    if (!isSafeName(name))
        return false;
    int fd = -1;
    try
    {
        fd = commandFolder(false).openFile(pendingFileName(name), O_RDONLY);
    }
    catch (const std::exception&)
    {
        return false; // no net has ever acted here, or net refuses the folder
    }
    if (fd < 0)
        return false; // no net is acting on the service
    // F_OFD_GETLK only asks: it neither waits nor gets in the way of a net
    // taking the lock at this moment.
    struct flock probe = {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    bool bPending = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return bPending;
}

bool ServiceFolder::isRunning(const std::string& name) const
{
    std::optional<ServicePid> pid = readPid(name);
    return pid && isServiceProcess(*pid) && !isPending(name);
}

#pragma once

#include "PrivateFolder.h"

#include <cstdint>
#include <optional>
#include <string>

// The recorded identity of a started service: its pid and the start time of
// that process (field 22 of /proc/PID/stat), so a later process that got the
// same pid is never taken for the service.
struct ServicePid
{
    int iPid;
    uint64_t uStartTime;

    bool operator==(const ServicePid&) const = default;
};

// Linux's stand-in for the service manager: one folder per service under the
// service folder. <folder>/NAME/run is the service's executable, NAME/pid the
// running instance (written by `net start`), NAME/output.log collects the
// service's output. The `net` commands keep their queue and lock files
// elsewhere, in a folder no other account can write (commandFolder), since
// the operator may let others write the service folder: NAME.queue lists the
// commands admitted for the service (see CommandAdmission.h), NAME.pending is
// locked while a `net` starts or stops it. Service names come from the
// network, so no path is ever built from a name that isSafeName rejects. The
// folder is held open, so every query of one object looks at the same folder
// even should it be renamed or replaced meanwhile. Linux only. Immutable
// after construction; any thread.
class ServiceFolder
{
public:
    // $ZELVIN_SERVICE_DIR when set and not empty, otherwise
    // <executable's folder>/../services. Never throws.
    static std::string defaultPath();

    // Opens the service folder `strPath`. Throws Poco::FileNotFoundException
    // or Poco::FileAccessDeniedException naming the folder when it is missing,
    // not a folder, or cannot be read.
    explicit ServiceFolder(std::string strPath);
    ServiceFolder(ServiceFolder&& other) noexcept;
    ~ServiceFolder();

    ServiceFolder(const ServiceFolder&) = delete;
    ServiceFolder& operator=(const ServiceFolder&) = delete;
    ServiceFolder& operator=(ServiceFolder&&) = delete;

    const std::string& path() const { return m_strPath; }

    // Not empty, at most 255 bytes, no '/' and no NUL, not "." or "..".
    static bool isSafeName(const std::string& name);

    // Whether `name` is safe and <folder>/name/run is an executable regular
    // file. Never throws.
    bool isRegistered(const std::string& name) const;

    // Whether `name` is in the running state: its pid file names a service
    // process (isServiceProcess) and no `net` is starting or stopping it
    // (isPending), as a service manager counts only a service that has
    // reached the running state. False without a pid file or for an unsafe
    // name. Throws Poco::FileException when the pid file exists but cannot be
    // read, Poco::DataFormatException when it cannot be parsed.
    bool isRunning(const std::string& name) const;

    // Whether a `net` holds the pending lock of `name`, i.e. is starting or
    // stopping it right now. Tests the lock without taking it, so it never
    // delays that `net`; the lock goes with its holder, so a `net` that
    // crashed leaves nothing pending. False for an unsafe name, and when the
    // command folder is missing or not ours alone (net refuses to use it
    // then). Never throws.
    bool isPending(const std::string& name) const;

    // The folder of the `net` commands of this service folder:
    // <runtime folder>/net/folder-DEV-INODE (runtimeFolder() of
    // WatchdogFolders.h; the service folder's device and inode, so service
    // folders never share a queue). With `bCreate` the runtime folder (0755)
    // and the two below it (0700) are created when missing. Throws
    // Poco::FileNotFoundException when missing and not created, and as
    // PrivateFolder::open when one of them is not ours alone.
    PrivateFolder commandFolder(bool bCreate) const;

    // NAME.pending and NAME.queue, the names of the service's lock and queue
    // files in commandFolder(). Throw Poco::InvalidArgumentException for an
    // unsafe name.
    static std::string pendingFileName(const std::string& name);
    static std::string queueFileName(const std::string& name);

    // <folder>/name. Throws Poco::InvalidArgumentException for an unsafe name.
    std::string serviceDir(const std::string& name) const;

    // The content of the pid file; nullopt when there is none (or the name is
    // unsafe). Throws as isRunning; a pid below 1 does not parse.
    std::optional<ServicePid> readPid(const std::string& name) const;

    // Replaces the pid file atomically (temporary file, then rename), so a
    // reader sees the old content or the new, never half. Throws
    // Poco::FileException on failure, Poco::InvalidArgumentException for an
    // unsafe name.
    void writePid(const std::string& name, const ServicePid& pid) const;

    // Removes the pid file; a missing one is fine. Never throws.
    void removePid(const std::string& name) const;

    // Whether `pid` still names the process it was recorded for: alive, not a
    // zombie, same start time. Never throws.
    static bool isAlive(const ServicePid& pid);

    // Whether `pid` is alive (isAlive) and can be a service that `net start`
    // started: above 1, and the leader of its own session and process group
    // (net starts every service with setsid, and a session leader can change
    // neither). Only such a process and its group are ever signalled. Never
    // throws.
    static bool isServiceProcess(const ServicePid& pid);

private:
    std::string m_strPath;
    int m_dirFd = -1; // O_PATH descriptor of the folder
};

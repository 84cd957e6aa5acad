#pragma once

#include "PrivateFolder.h"
#include "ServiceFolder.h"

#include <chrono>
#include <optional>
#include <string>

// How `net` commands for one service are admitted, as a service manager
// accepts control requests:
// - one command at work and one waiting behind it; a further one is refused
//   at once rather than piling up;
// - commands that one parent launched back to back act in launch order,
//   whichever reaches the queue first;
// - a waiting command sleeps on pidfds until the one ahead has ended, at most
//   until its deadline, and gives up once the program that ran it has ended;
// - a command that has ended (crashed) holds up nothing.
// The admitted commands are the "PID STARTTIME" lines of the service's queue
// file, read and written under a FileLock held for microseconds; the last
// command out removes it. The queue lies in a PrivateFolder, so no other
// account can lock, fill or redirect it. The same for every service manager;
// only the queue file's place differs. Linux only; one object per process.
class CommandAdmission
{
public:
    // Joins the queue in the file `strQueueName` of `folder` (which must
    // outlive the object) for the service `name` (as given to net: the
    // launch order compares it), or is refused when two commands are
    // admitted already. Does not wait for the command ahead. Throws
    // Poco::TimeoutException when the queue stays locked for `iTimeoutMs`,
    // Poco::FileException when it cannot be used (FileAccessDeniedException
    // when it is not ours alone).
    CommandAdmission(const PrivateFolder& folder, std::string strQueueName, const std::string& name,
                     int iTimeoutMs);

    // Leaves the queue. Never throws.
    ~CommandAdmission();

    CommandAdmission(const CommandAdmission&) = delete;
    CommandAdmission& operator=(const CommandAdmission&) = delete;

    // Whether the command may go on; false: it must fail at once.
    bool admitted() const { return m_bAdmitted; }

    // Sleeps until the command ahead has ended. Throws
    // Poco::TimeoutException when it still runs `iTimeoutMs` after the
    // constructor began, Poco::SystemException when the program that ran net
    // ends first (nobody waits for the command any more) or the command ahead
    // cannot be watched.
    void waitForTurn();

private:
    const PrivateFolder& m_folder;
    std::string m_strQueueName;
    std::string m_strName;
    int m_iTimeoutMs;
    std::chrono::steady_clock::time_point m_deadline;
    ServicePid m_self{};
    int m_iParentPid = 0;
    bool m_bAdmitted = false;
    std::optional<ServicePid> m_ahead;
};

// The folder of the queue files of systemd units, <unit>.queue:
// /run/zelvin-watchdog/net for the system's manager,
// $XDG_RUNTIME_DIR/zelvin-watchdog/net for the user's. Created when missing
// (zelvin-watchdog 0755, net 0700). Throws Poco::FileException when it cannot
// be created or is not ours alone (see PrivateFolder),
// Poco::InvalidArgumentException when the user's manager is asked for and
// XDG_RUNTIME_DIR is not set.
PrivateFolder systemdAdmissionFolder(bool bUserScope);

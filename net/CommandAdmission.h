#pragma once

#include "ServiceFolder.h"

#include <chrono>
#include <string>
#include <vector>

// Admits `net` commands for one service the way a service manager accepts
// control requests: one command at work and one waiting behind it; any
// further command is refused at once rather than piling up. The admitted
// commands are kept, in order, in the service's queue file (one "PID
// STARTTIME" line each), read and written under a lock held for
// microseconds. Commands that one parent launched back to back keep their
// launch order (SiblingOrder.h): a command that reaches the queue before an
// earlier sibling puts that sibling in front of itself. An entry whose
// process has ended is dropped by the next command, so a crashed `net` blocks
// nothing. The same for every service manager; only the queue file's place
// differs. Linux only; one object per process.
class CommandAdmission
{
public:
    // Joins the queue in `strQueueFile` for the service `name` (the name as
    // given to net, for the launch order), or is refused when two commands are
    // already admitted. Does not wait for the commands ahead. Throws
    // Poco::TimeoutException when the queue stays locked for `iTimeoutMs`,
    // Poco::FileException when it cannot be used.
    CommandAdmission(std::string strQueueFile, const std::string& name, int iTimeoutMs);

    // Leaves the queue (removing the file when it is then empty). Never throws.
    ~CommandAdmission();

    CommandAdmission(const CommandAdmission&) = delete;
    CommandAdmission& operator=(const CommandAdmission&) = delete;

    // Whether the command may go on; false: it must fail at once.
    bool admitted() const { return m_bAdmitted; }

    // Sleeps until the commands ahead have ended. Throws
    // Poco::TimeoutException when they still run `iTimeoutMs` after the
    // constructor began, Poco::SystemException when the program that ran net
    // ends first (nobody waits for the command any more).
    void waitForTurn();

private:
    std::string m_strQueueFile;
    std::string m_strName;
    int m_iTimeoutMs;
    std::chrono::steady_clock::time_point m_deadline;
    ServicePid m_self{};
    int m_iParentPid = 0;
    bool m_bAdmitted = false;
    std::vector<ServicePid> m_vecAhead;
};

// Where the queue files of systemd units live: /run/zelvin-watchdog/net for
// the system's manager, $XDG_RUNTIME_DIR/zelvin-watchdog/net for the user's.
// Created when missing (0755; the user's runtime folder is private already).
// Throws Poco::FileException when it cannot be created,
// Poco::InvalidArgumentException when the user's manager is asked for and
// XDG_RUNTIME_DIR is not set.
std::string systemdAdmissionFolder(bool bUserScope);

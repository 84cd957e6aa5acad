#include "CommandAdmission.h"

#include "FileLock.h"
#include "LaunchOrder.h"
#include "ProcStat.h"
#include "ProcessWait.h"
#include "SystemdBus.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// One command at work and one waiting behind it.
const size_t MAX_ADMITTED = 2;
// Far more than MAX_ADMITTED lines; what lies beyond is not ours.
const size_t QUEUE_MAX_BYTES = 4096;
// Leaving the queue waits for its lock at most this long.
const int LEAVE_TIMEOUT_MS = 5000;

// The entries of the queue whose processes still run; lines that do not
// parse are dropped.
std::vector<ServicePid> readQueue(int fd)
{
    std::string text(QUEUE_MAX_BYTES, '\0');
    ssize_t n;
    do
        n = ::pread(fd, text.data(), text.size(), 0);
    while (n < 0 && errno == EINTR);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);

    std::vector<ServicePid> vecEntries;
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break;
        const char* p = text.data() + pos;
        const char* pEnd = text.data() + end;
        ServicePid entry{};
        auto r1 = std::from_chars(p, pEnd, entry.iPid);
        if (r1.ec == std::errc() && r1.ptr < pEnd && *r1.ptr == ' ')
        {
            auto r2 = std::from_chars(r1.ptr + 1, pEnd, entry.uStartTime);
            if (r2.ec == std::errc() && r2.ptr == pEnd && ServiceFolder::isAlive(entry) &&
                std::find(vecEntries.begin(), vecEntries.end(), entry) == vecEntries.end())
                vecEntries.push_back(entry);
        }
        pos = end + 1;
    }
    return vecEntries;
}

void writeQueue(const FileLock& lock, const std::vector<ServicePid>& vecEntries)
{
    std::string text;
    for (const ServicePid& entry : vecEntries)
        text += std::to_string(entry.iPid) + " " + std::to_string(entry.uStartTime) + "\n";
    if (::ftruncate(lock.fd(), 0) != 0 ||
        ::pwrite(lock.fd(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        throw Poco::FileException("Cannot write " + lock.file(), std::strerror(errno));
}
} // namespace

CommandAdmission::CommandAdmission(const PrivateFolder& folder, std::string strQueueName,
                                   const std::string& name, int iTimeoutMs)
    : m_folder(folder), m_strQueueName(std::move(strQueueName)), m_strName(name), m_iTimeoutMs(iTimeoutMs),
      m_deadline(Clock::now() + std::chrono::milliseconds(iTimeoutMs))
{
    const int iOwnPid = static_cast<int>(::getpid());
    std::optional<ProcStat::Info> self = ProcStat::read(iOwnPid);
    if (!self)
        throw Poco::SystemException("Cannot read /proc/self/stat");
    m_self = ServicePid{iOwnPid, self->uStartTime};
    m_iParentPid = self->iParentPid;
    // Looked up before the lock: it may sleep while a sibling execs.
    const std::vector<ServicePid> vecEarlier = earlierNetSiblings(name, m_self, m_iParentPid, iTimeoutMs);

    FileLock lock(m_folder, m_strQueueName, iTimeoutMs);
    std::vector<ServicePid> vecQueue = readQueue(lock.fd());
    auto itSelf = std::find(vecQueue.begin(), vecQueue.end(), m_self);
    const bool bReserved = itSelf != vecQueue.end(); // by a later sibling
    std::vector<ServicePid> vecJoined(vecQueue.begin(), itSelf);
    for (const ServicePid& sibling : vecEarlier)
        if (ServiceFolder::isAlive(sibling) &&
            std::find(vecQueue.begin(), vecQueue.end(), sibling) == vecQueue.end())
            vecJoined.push_back(sibling);
    if (vecJoined.size() >= MAX_ADMITTED)
    {
        if (bReserved)
        {
            vecQueue.erase(itSelf);
            writeQueue(lock, vecQueue);
        }
        return;
    }
    if (!vecJoined.empty())
        m_ahead = vecJoined.front();
    vecJoined.push_back(m_self);
    if (bReserved)
        vecJoined.insert(vecJoined.end(), itSelf + 1, vecQueue.end());
    writeQueue(lock, vecJoined);
    m_bAdmitted = true;
}

CommandAdmission::~CommandAdmission()
{
    if (!m_bAdmitted)
        return;
    try
    {
        FileLock lock(m_folder, m_strQueueName, LEAVE_TIMEOUT_MS);
        std::vector<ServicePid> vecQueue = readQueue(lock.fd());
        std::erase(vecQueue, m_self);
        if (vecQueue.empty())
            lock.removeFile();
        else
            writeQueue(lock, vecQueue);
    }
    catch (...)
    {
        // Left behind, the entry is dropped once this process has ended.
    }
}

void CommandAdmission::waitForTurn()
{
    WaitOutcome eOutcome = WaitOutcome::WAIT_ENDED;
    if (m_ahead)
        eOutcome = waitForEnd(*m_ahead, m_deadline, m_iParentPid);
    else if (m_iParentPid > 1 && ::getppid() != m_iParentPid)
        eOutcome = WaitOutcome::WAIT_PARENT_GONE;
    switch (eOutcome)
    {
    case WaitOutcome::WAIT_ENDED:
        return;
    case WaitOutcome::WAIT_TIMED_OUT:
        throw Poco::TimeoutException("Another net command for " + m_strName + " is still at work after " +
                                     std::to_string(m_iTimeoutMs) + " ms");
    case WaitOutcome::WAIT_PARENT_GONE:
        break;
    }
    throw Poco::SystemException("The program that ran net for " + m_strName +
                                " has ended; the command waiting behind another one gives up");
}

PrivateFolder systemdAdmissionFolder(bool bUserScope)
{
    return PrivateFolder::open(systemdRuntimeFolder(bUserScope), 0)
        .folder("zelvin-watchdog", 0755)
        .folder("net", 0700);
}

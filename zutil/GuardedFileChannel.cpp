#include "GuardedFileChannel.h"

#include <Poco/Exception.h>
#include <Poco/Message.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace zvlog
{

namespace
{

std::atomic<uint64_t> g_nDroppedTotal{0};

// The logger name of the utility library's own records.
const char* const SOURCE = "ZelvinUtil";

// A write cut short by a full disk can leave half a line at the end of the
// file; the next record must not continue it. Never throws.
void completeLastLine(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in || in.tellg() <= 0)
        return;
    in.seekg(-1, std::ios::end);
    char last = '\n';
    in.get(last);
    in.close();
    if (last != '\n')
        std::ofstream(path, std::ios::binary | std::ios::app) << '\n';
}

} // namespace

GuardedFileChannel::GuardedFileChannel(Poco::Channel::Ptr pTarget, std::string strPath)
    : m_pTarget(std::move(pTarget)), m_strPath(std::move(strPath))
{
}

GuardedFileChannel::~GuardedFileChannel() = default;

uint64_t GuardedFileChannel::droppedRecords()
{
    return g_nDroppedTotal.load();
}

void GuardedFileChannel::open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    try
    {
        m_pTarget->open();
        m_bOpen = true;
    }
    catch (...)
    {
        // Tried again, and reported, with the first record.
    }
}

void GuardedFileChannel::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    try
    {
        m_pTarget->close();
    }
    catch (...)
    {
    }
    m_bOpen = false;
}

bool GuardedFileChannel::write(const Poco::Message& msg)
{
    int error = 0;
    try
    {
        if (!m_bOpen)
        {
            m_pTarget->open();
            m_bOpen = true;
        }
        // The file classes report a failed write without its cause; errno of
        // the failed call is what says "No space left on device".
        errno = 0;
        m_pTarget->log(msg);
        return true;
    }
    catch (const Poco::Exception& e)
    {
        error = errno;
        m_strLastError = e.displayText();
    }
    catch (const std::exception& e)
    {
        error = errno;
        m_strLastError = e.what();
    }
    catch (...)
    {
        error = errno;
        m_strLastError = "unknown error";
    }
    if (error != 0)
        m_strLastError += std::string(": ") + std::strerror(error);
    // A stream that failed once stays failed: closing it lets the next
    // record open the file anew. Whatever it still buffered is lost with it.
    try
    {
        m_pTarget->close();
    }
    catch (...)
    {
    }
    m_bOpen = false;
    return false;
}

void GuardedFileChannel::drop()
{
    ++g_nDroppedTotal;
    if (m_nDropped++ != 0)
        return;
    const std::string line = std::string(SOURCE) + ": cannot write the log file " + m_strPath + " (" +
                             m_strLastError + "); records are dropped until writing works again\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void GuardedFileChannel::log(const Poco::Message& msg)
{
    try
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nDropped != 0)
        {
            completeLastLine(m_strPath);
            const Poco::Message report(SOURCE,
                                       std::to_string(m_nDropped) + " log records could not be written to " +
                                           m_strPath + " (" + m_strLastError + ")",
                                       Poco::Message::PRIO_ERROR);
            if (!write(report))
            {
                drop();
                return;
            }
            m_nDropped = 0;
        }
        if (!write(msg))
            drop();
    }
    catch (...)
    {
        // Out of memory while building a message: the record is lost, the
        // caller goes on.
    }
}

} // namespace zvlog

#pragma once

#include <Poco/Channel.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace zvlog
{

// Stands between the loggers and the log file so that a failing file never
// reaches the code that logs: a record that cannot be written is dropped and
// counted, and the target is closed so the next record opens it afresh. The
// first record written after such an outage is preceded by an error record
// that says how many were dropped and why the last attempt failed. When an
// outage begins, one line goes to standard error. Thread-safe; log, open and
// close never throw.
class GuardedFileChannel : public Poco::Channel
{
public:
    // `pTarget` writes (formats) records to the file `strPath`, which names it
    // in the messages; it is opened again through open() after close().
    GuardedFileChannel(Poco::Channel::Ptr pTarget, std::string strPath);

    void open() override;
    void close() override;
    void log(const Poco::Message& msg) override;

    // Records dropped by every guarded channel of the process so far; any thread.
    static uint64_t droppedRecords();

protected:
    ~GuardedFileChannel() override;

private:
    // Hands `msg` to the target; on failure notes the reason and closes the
    // target. Caller holds m_mutex.
    bool write(const Poco::Message& msg);
    void drop();

    std::mutex m_mutex;
    Poco::Channel::Ptr m_pTarget;
    std::string m_strPath;
    bool m_bOpen = false;
    uint64_t m_nDropped = 0; // in the outage under way; 0 while writing works
    // Why the last write failed: the count record names the latest cause (a
    // write cut short says less than the refused ones after it).
    std::string m_strLastError;
};

} // namespace zvlog

#pragma once

#include <string>

// Exclusive lock on a file (an open-file-description lock, F_OFD_SETLKW),
// held for the lifetime of the object and released with it, also when the
// process dies. The descriptor is close-on-exec and never reaches a service.
// Not thread-safe: the deadline is kept with ITIMER_REAL, one lock wait at a
// time per process.
class ServiceLock
{
public:
    // Takes the lock on `strFile` (created if needed), sleeping in the kernel
    // until it is free, at most `iTimeoutMs`. A file that its holder removed
    // meanwhile is opened afresh. Throws Poco::TimeoutException when it stays
    // taken, Poco::FileException when the file cannot be opened or locked.
    ServiceLock(const std::string& strFile, int iTimeoutMs);
    ~ServiceLock();

    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;

    // The locked file's descriptor, open for reading and writing, and path.
    int fd() const { return m_fd; }
    const std::string& file() const { return m_strFile; }

    // Removes the file while the lock is held; a waiter then opens a new one.
    // Never throws.
    void removeFile();

private:
    std::string m_strFile;
    int m_fd = -1;
};

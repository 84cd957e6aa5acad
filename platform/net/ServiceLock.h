#pragma once

#include <string>

// Exclusive lock on one service's lock file (flock), held for the lifetime of
// the object, so a start and a stop of the same service never interleave.
// The descriptor is close-on-exec and never reaches the service.
class ServiceLock
{
public:
    // Takes the lock on `strFile` (created if needed), waiting at most
    // `iTimeoutMs`. Throws Poco::TimeoutException when it stays taken,
    // Poco::FileException when the file cannot be opened.
    ServiceLock(const std::string& strFile, int iTimeoutMs);
    ~ServiceLock();

    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;

private:
    int m_fd;
};

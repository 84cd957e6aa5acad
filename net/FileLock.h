#pragma once

#include <string>

// An exclusive lock on a whole file (an open-file-description lock), held for
// the lifetime of the object and released with it, also when the process
// dies. The descriptor is close-on-exec and never reaches a service.
class FileLock
{
public:
    // Takes the lock on `strFile` (created if needed), trying again with
    // short, growing sleeps while another holds it, at most `iTimeoutMs`. A
    // file that its holder removed meanwhile is opened afresh. Throws
    // Poco::TimeoutException when it stays taken, Poco::FileException when
    // the file cannot be opened or locked.
    FileLock(const std::string& strFile, int iTimeoutMs);
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

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

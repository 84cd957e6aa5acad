#pragma once

#include "PrivateFolder.h"

#include <string>

// An exclusive lock on a whole file (an open-file-description lock), held for
// the lifetime of the object and released with it, also when the process
// dies. The file lies in a PrivateFolder, so no other account can open it,
// let alone lock it, and it is never reached through a symbolic link. The
// descriptor is close-on-exec and never reaches a service.
class FileLock
{
public:
    // Takes the lock on the file `strName` in `folder` (created 0600 if
    // needed), trying again with short, growing sleeps while another holds
    // it, at most `iTimeoutMs`. A file that its holder removed meanwhile is
    // opened afresh. `folder` must outlive the lock. Throws
    // Poco::TimeoutException when it stays taken,
    // Poco::FileAccessDeniedException when the file is not ours alone (see
    // PrivateFolder::openFile), Poco::FileException when it cannot be opened
    // or locked.
    FileLock(const PrivateFolder& folder, const std::string& strName, int iTimeoutMs);
    ~FileLock();

    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // The locked file's descriptor, open for reading and writing, and path.
    int fd() const { return m_fd; }
    std::string file() const { return m_folder.path() + "/" + m_strName; }

    // Removes the file while the lock is held; a waiter then opens a new one.
    // Never throws.
    void removeFile();

private:
    const PrivateFolder& m_folder;
    std::string m_strName;
    int m_fd = -1;
};

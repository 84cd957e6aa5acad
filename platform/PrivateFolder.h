#pragma once

#include <string>
#include <sys/types.h>

// A folder that only root and this process's user can change, held open by a
// descriptor, and the files in it, opened relative to that descriptor and
// never through a symbolic link. Where `net` keeps its queues and locks: no
// other account can create, replace, redirect or lock them. A folder or file
// that another account owns, that group or others may write, or that is a
// symbolic link is refused, never used. Linux only. Movable, not copyable;
// one thread at a time.
class PrivateFolder
{
public:
    // Opens the folder `strPath` (links in the path followed: it is the
    // operator's), creating it with `createMode` when missing and
    // `createMode` is not 0. Throws Poco::FileNotFoundException when it is
    // missing and not created, Poco::FileAccessDeniedException naming it when
    // another account owns it or may write it, Poco::FileException when it
    // cannot be opened or created.
    static PrivateFolder open(const std::string& strPath, mode_t createMode);

    // The folder `name` (one path component) in this one, opened without
    // following a link; created with `createMode` when missing and
    // `createMode` is not 0, and narrowed to `createMode` when group or
    // others may read it. Throws as open().
    PrivateFolder folder(const std::string& name, mode_t createMode) const;

    // Opens the file `name` in this folder without following a link, with
    // `flags` (O_CLOEXEC and O_NOFOLLOW added); with O_CREAT a new file gets
    // mode 0600, and an existing one of ours that group or others may read is
    // narrowed to 0600. Returns the descriptor, or -1 when the file is missing
    // and O_CREAT was not given. Throws Poco::FileAccessDeniedException when
    // it is no regular file of root or ours or others may write it,
    // Poco::FileException when it cannot be opened.
    int openFile(const std::string& name, int flags) const;

    PrivateFolder(PrivateFolder&& other) noexcept;
    PrivateFolder& operator=(PrivateFolder&& other) noexcept;
    ~PrivateFolder();

    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    int fd() const { return m_fd; }
    const std::string& path() const { return m_strPath; }

private:
    PrivateFolder(std::string strPath, int fd) : m_strPath(std::move(strPath)), m_fd(fd) {}

    std::string m_strPath;
    int m_fd = -1;
};

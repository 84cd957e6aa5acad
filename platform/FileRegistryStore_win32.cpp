#include "FileRegistryStore.h"

#include <Poco/DateTimeFormatter.h>
#include <Poco/Exception.h>
#include <Poco/LocalDateTime.h>
#include <Poco/UnicodeConverter.h>

#include <windows.h>

// The folder's access is the setup's business: it creates the state folder
// under %ProgramData% with access for SYSTEM and the administrators only.
// A folder created here inherits its parent's access.
namespace
{
std::wstring wide(const std::string& utf8)
{
    std::wstring text;
    Poco::UnicodeConverter::toUTF16(utf8, text);
    return text;
}

[[noreturn]] void fail(const std::string& what, const std::string& path, DWORD error = ::GetLastError())
{
    const std::string text = what + " " + path + " (error " + std::to_string(error) + ")";
    if (error == ERROR_ACCESS_DENIED)
        throw Poco::FileAccessDeniedException(text);
    throw Poco::FileException(text);
}

struct Handle
{
    HANDLE h;
    ~Handle()
    {
        if (h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
};
} // namespace

FileRegistryStore::FileRegistryStore(std::string folder)
    : m_strFolder(std::move(folder)), m_strFile(m_strFolder + "\\registry"), m_strNewFile(m_strFile + ".new")
{
}

void FileRegistryStore::prepareFolder()
{
    if (m_bFolderReady)
        return;
    if (!::CreateDirectoryW(wide(m_strFolder).c_str(), nullptr) && ::GetLastError() == ERROR_PATH_NOT_FOUND)
    {
        for (std::size_t sep = m_strFolder.find_first_of("\\/", 3); sep != std::string::npos;
             sep = m_strFolder.find_first_of("\\/", sep + 1))
            ::CreateDirectoryW(wide(m_strFolder.substr(0, sep)).c_str(), nullptr);
        ::CreateDirectoryW(wide(m_strFolder).c_str(), nullptr);
    }
    const DWORD attributes = ::GetFileAttributesW(wide(m_strFolder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        fail("cannot create the state folder", m_strFolder);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw Poco::FileException(m_strFolder + " is not a folder");
    m_bFolderReady = true;
}

std::optional<std::string> FileRegistryStore::load()
{
    prepareFolder();
    Handle file{::CreateFileW(wide(m_strFile).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE)
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        fail("cannot open", m_strFile, error);
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.h, &size))
        fail("cannot read", m_strFile);
    if (static_cast<uint64_t>(size.QuadPart) > MAX_FILE_BYTES)
        throw Poco::FileException(m_strFile + " is larger than " + std::to_string(MAX_FILE_BYTES) + " bytes");
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size())
    {
        DWORD n = 0;
        if (!::ReadFile(file.h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr))
            fail("cannot read", m_strFile);
        if (n == 0)
            break;
        done += n;
    }
    bytes.resize(done);
    return bytes;
}

void FileRegistryStore::save(const std::string& bytes)
{
    prepareFolder();
    const std::wstring newFile = wide(m_strNewFile);
    {
        Handle file{::CreateFileW(newFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (file.h == INVALID_HANDLE_VALUE)
            fail("cannot create", m_strNewFile);
        std::size_t done = 0;
        while (done < bytes.size())
        {
            DWORD n = 0;
            if (!::WriteFile(file.h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                             nullptr))
                fail("cannot write", m_strNewFile);
            done += n;
        }
        if (!::FlushFileBuffers(file.h))
            fail("cannot flush", m_strNewFile);
    }
    if (!::MoveFileExW(newFile.c_str(), wide(m_strFile).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(newFile.c_str());
        fail("cannot replace", m_strFile, error);
    }
}

std::string FileRegistryStore::setAside()
{
    try
    {
        const std::string base = m_strFile + ".unusable-" +
                                 Poco::DateTimeFormatter::format(Poco::LocalDateTime(), "%Y%m%d-%H%M%S");
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            const std::string aside = attempt == 0 ? base : base + "-" + std::to_string(attempt);
            // Without MOVEFILE_REPLACE_EXISTING an existing name makes it fail.
            if (::MoveFileExW(wide(m_strFile).c_str(), wide(aside).c_str(), MOVEFILE_WRITE_THROUGH))
                return aside;
            if (::GetLastError() != ERROR_ALREADY_EXISTS && ::GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
    }
    catch (...)
    {
    }
    return std::string();
}

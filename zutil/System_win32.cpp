#include "System.h"

#include <Poco/UnicodeConverter.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <windows.h>

// Paths are UTF-8 strings, as POCO takes them on Windows.

std::string System::getExecutableDir()
{
    // Long paths: grow the buffer until the whole name fits.
    std::wstring buf(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD len = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (len == 0)
        {
            std::error_code ec;
            const std::filesystem::path cwd = std::filesystem::current_path(ec);
            return ec ? std::string(".") : cwd.string();
        }
        if (len < buf.size())
        {
            buf.resize(len);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    const std::wstring::size_type slash = buf.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        buf.resize(slash);
    std::string utf8;
    Poco::UnicodeConverter::toUTF8(buf, utf8);
    return utf8;
}

std::string System::getConfigFilePath(const std::string& name)
{
    namespace fs = std::filesystem;
    if (fs::path(name).is_absolute())
        return name;
    // _wgetenv: the variable may hold a folder name outside the ANSI code page.
    const wchar_t* envDir = ::_wgetenv(L"ZELVIN_CONFIG_DIR");
    std::string dir;
    if (envDir != nullptr && *envDir != L'\0')
        Poco::UnicodeConverter::toUTF8(envDir, dir);
    else
        dir = getExecutableDir();
    // An installation keeps its configuration beside the executable.
    std::string path = dir;
    if (!path.empty() && path.back() != '\\' && path.back() != '/')
        path += '\\';
    return path + name;
}

uint32_t System::getSecondCount()
{
    return static_cast<uint32_t>(::GetTickCount64() / 1000);
}

#include "System.h"

#include "ConfigLookup.h"

#include <Poco/UnicodeConverter.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <windows.h>

// Paths are UTF-8 strings, as POCO takes them on Windows; std::filesystem
// works on the wide names, so nothing passes through the ANSI code page.

namespace
{

std::filesystem::path executableDir()
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
            return ec ? std::filesystem::path(L".") : cwd;
        }
        if (len < buf.size())
        {
            buf.resize(len);
            break;
        }
        buf.resize(buf.size() * 2);
    }
    return std::filesystem::path(buf).parent_path();
}

std::string toUTF8(const std::wstring& text)
{
    std::string utf8;
    Poco::UnicodeConverter::toUTF8(text, utf8);
    return utf8;
}

} // namespace

std::string System::getExecutableDir()
{
    return toUTF8(executableDir().wstring());
}

std::string System::getConfigFilePath(const std::string& name)
{
    std::wstring wideName;
    Poco::UnicodeConverter::toUTF16(name, wideName);
    std::wstring wideVariable;
    Poco::UnicodeConverter::toUTF16(zvconfig::CONFIG_DIR_VARIABLE, wideVariable);
    // _wgetenv: the variable may hold a folder name outside the ANSI code page.
    const wchar_t* envDir = ::_wgetenv(wideVariable.c_str());
    return toUTF8(
        zvconfig::lookupConfigFile(wideName, envDir != nullptr ? envDir : L"", executableDir()).wstring());
}

uint32_t System::getSecondCount()
{
    return static_cast<uint32_t>(::GetTickCount64() / 1000);
}

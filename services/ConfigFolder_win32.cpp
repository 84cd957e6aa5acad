#include "ConfigFolder.h"

#include "ConfigLookup.h"

#include <cstdlib>
#include <windows.h>

std::filesystem::path configFolder()
{
    wchar_t szExe[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, szExe, static_cast<DWORD>(std::size(szExe)));
    const std::filesystem::path exeDir = n > 0 && n < std::size(szExe)
                                             ? std::filesystem::path(szExe).parent_path()
                                             : std::filesystem::path(L".");
    std::wstring variable(zvconfig::CONFIG_DIR_VARIABLE,
                          zvconfig::CONFIG_DIR_VARIABLE +
                              std::char_traits<char>::length(zvconfig::CONFIG_DIR_VARIABLE));
    // _wgetenv: the folder may be named outside the ANSI code page.
    const wchar_t* szDir = ::_wgetenv(variable.c_str());
    return zvconfig::lookupConfigFile(L"Watchdog.xml", szDir != nullptr ? szDir : L"", exeDir).parent_path();
}

void requireOperatorOwned(const std::filesystem::path&)
{
    // The setup installs etc\ under Program Files, which only administrators
    // may write; NTFS has no single owner bit to check here.
}

#include "System.h"

#include <Poco/UnicodeConverter.h>

#include <string>
#include <vector>

#include <windows.h>
// After windows.h, which it depends on.
#include <tlhelp32.h>

// Processes are ended with TerminateProcess: an immediate, unconditional end,
// with no grace period to wait out. Image names are compared without regard
// to case, as Windows does; a name given without ".exe" gets it.

namespace
{

std::wstring wantedImage(const std::string& imageName)
{
    std::string name = imageName;
    const std::string::size_type slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name.empty())
        return std::wstring();
    if (name.size() < 4 || ::_stricmp(name.c_str() + name.size() - 4, ".exe") != 0)
        name += ".exe";
    std::wstring wide;
    Poco::UnicodeConverter::toUTF16(name, wide);
    return wide;
}

std::vector<DWORD> findProcesses(const std::wstring& wanted)
{
    std::vector<DWORD> vecPid;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return vecPid;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = ::Process32FirstW(snapshot, &entry); ok; ok = ::Process32NextW(snapshot, &entry))
    {
        if (::_wcsicmp(entry.szExeFile, wanted.c_str()) == 0)
            vecPid.push_back(entry.th32ProcessID);
    }
    ::CloseHandle(snapshot);
    return vecPid;
}

bool terminate(DWORD pid)
{
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr)
        return false;
    const bool bDone = ::TerminateProcess(process, 1) != 0;
    ::CloseHandle(process);
    return bDone;
}

} // namespace

bool System::findAndKillProcessByName(const std::string& imageName)
{
    const std::wstring wanted = wantedImage(imageName);
    if (wanted.empty())
        return false;

    const DWORD self = ::GetCurrentProcessId();
    bool bSelf = false;
    bool bSignalled = false;
    for (const DWORD pid : findProcesses(wanted))
    {
        if (pid == self)
            bSelf = true;
        else if (terminate(pid))
            bSignalled = true;
    }
    if (bSelf)
        bSignalled = ::TerminateProcess(::GetCurrentProcess(), 1) != 0;
    return bSignalled;
}

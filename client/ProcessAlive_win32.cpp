#include "ProcessAlive.h"

#include <windows.h>

bool isProcessAlive(int64_t pid)
{
    if (pid <= 0 || pid > UINT32_MAX)
        return false;
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        // A service's process may refuse a user's query, which proves it exists.
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    DWORD exitCode = 0;
    const bool bAlive = ::GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    ::CloseHandle(process);
    return bAlive;
}

#include "StallGuard.h"

#include <windows.h>

void StallGuard::terminateProcess(int code)
{
    // Ended without reporting the service stopped: the service manager sees
    // an unexpected end and applies the service's failure actions.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    ::ExitProcess(static_cast<UINT>(code)); // not reached
}

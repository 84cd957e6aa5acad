#include "RunWatchdog.h"

#include <Poco/Net/Net.h>

#include <windows.h>

namespace
{
const DWORD STOP_REPLY_GRACE_MS = 500;

// The framework's own test: a service process has no standard output.
bool startedAsService()
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return out == nullptr || out == INVALID_HANDLE_VALUE;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    // POCO is linked statically, so nothing has started Winsock yet; the
    // listening socket is created long after this. It stays up until the
    // process ends: the module's worker is joined only at static destruction.
    Poco::Net::initializeNetwork();
    const int rc = runWatchdog(argc, argv);
    // Run as a service, the dispatcher returns here as soon as the service
    // reports itself stopped, while the answer to the stop request may still
    // be on its way from the dispatcher's thread. Ending the process under it
    // leaves the service manager with a broken pipe and the service stuck in
    // "stop pending"; a moment's grace lets the answer out.
    if (startedAsService())
        ::Sleep(STOP_REPLY_GRACE_MS);
    return rc;
}

#include "WatchdogClient.h"

#include <Poco/Net/Net.h>

namespace
{
// Statically linked, POCO does not start Winsock by itself. This file is
// linked into every program that uses the client, so the first socket finds
// the network ready; initialise/uninitialise are reference-counted and pair
// with any call of the program's own.
struct NetworkStartup
{
    NetworkStartup() { Poco::Net::initializeNetwork(); }
    ~NetworkStartup() { Poco::Net::uninitializeNetwork(); }
};
const NetworkStartup g_networkStartup;
} // namespace

// Windows raises no signal on a write to a reset connection; the send fails
// with an error, which POCO turns into an exception.
int WatchdogClient::sendFlags()
{
    return 0;
}

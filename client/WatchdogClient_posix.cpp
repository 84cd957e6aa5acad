#include "WatchdogClient.h"

#include <sys/socket.h>

// Without MSG_NOSIGNAL a write to a connection the watchdog has reset raises
// SIGPIPE, which would kill the product process embedding this client.
int WatchdogClient::sendFlags()
{
    return MSG_NOSIGNAL;
}

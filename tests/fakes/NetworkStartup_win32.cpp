#include <Poco/Net/Net.h>

namespace
{
// Statically linked POCO does not start Winsock; the loopback tests need it
// before their first socket.
struct NetworkStartup
{
    NetworkStartup() { Poco::Net::initializeNetwork(); }
    ~NetworkStartup() { Poco::Net::uninitializeNetwork(); }
};
const NetworkStartup g_networkStartup;
} // namespace

// Construction, start-up and destruction of the watchdog module.
#include "WatchdogServerModule.h"

#include <Poco/Net/SocketAddress.h>

namespace
{
// The watchdog's own executable, ended when the installation is damaged.
const char* const WATCHDOG_IMAGE_NAME = "REdodevaz.exe";
const int LISTEN_BACKLOG = 64;
} // namespace

WatchdogServerModule::WatchdogServerModule(const WatchdogPlatform& platform, const std::string& listenHost,
                                           Poco::UInt16 listenPort)
    : m_bStop(false), m_platform(platform), m_strListenHost(listenHost), m_nListenPort(listenPort),
      m_nPassCount(0)
{
}

WatchdogServerModule::~WatchdogServerModule()
{
    m_bStop = true;
    // The worker looks at the flag only at the top of a pass, so this waits for
    // the pass under way. A worker that was never started returns at once;
    // one that ended by an exception is joined too, so its thread state is
    // not freed under it.
    m_thread.join();
}

int WatchdogServerModule::init()
{
    const int integrity = m_platform.install.checkIntegrity();
    if (integrity != 0)
    {
        m_platform.install.findAndKillProcessByName(WATCHDOG_IMAGE_NAME);
        return integrity;
    }

    const Poco::Net::SocketAddress address(m_strListenHost, m_nListenPort);
    // Address reuse lets a restarted watchdog bind while old connections are
    // in TIME_WAIT; port reuse stays off so a second watchdog cannot bind too.
    m_serverSocket.bind(address, true, false);
    m_serverSocket.listen(LISTEN_BACKLOG);

    // Only the watchdog that holds the port touches the saved registry, and
    // its records are back before the dependent services are looked at.
    restoreRegistry();
    checkAndStartServer();

    m_bWorkerRunning = true;
    try
    {
        m_thread.start(*this);
    }
    catch (...)
    {
        m_bWorkerRunning = false;
        throw;
    }
    return 0;
}

uint32_t WatchdogServerModule::nowMs()
{
    // Whole seconds times 1000, wrapping in 32 bits; differences are taken in
    // the same arithmetic, so the wrap is harmless.
    return static_cast<uint32_t>(m_platform.clock.getSecondCount() * 1000u);
}

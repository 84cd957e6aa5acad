#include "WatchdogClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>

#include <utility>

WatchdogClient::WatchdogClient(std::string strHost, uint16_t nPort, Poco::Timespan timeout)
    : m_strHost(std::move(strHost)), m_nPort(nPort), m_timeout(timeout)
{
}

WatchdogClient::~WatchdogClient()
{
    close();
}

std::string WatchdogClient::address() const
{
    return m_strHost + ":" + std::to_string(m_nPort);
}

void WatchdogClient::connect()
{
    if (m_bConnected)
        throw Poco::IllegalStateException("already connected to " + address());
    try
    {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress(m_strHost, m_nPort), m_timeout);
        socket.setNoDelay(true);
        socket.setSendTimeout(m_timeout);
        m_socket = socket;
        m_bConnected = true;
    }
    catch (const Poco::Exception& exc)
    {
        failConnect(exc);
    }
}

void WatchdogClient::failConnect(const Poco::Exception& exc) const
{
    std::string strReason = exc.displayText();
    if (dynamic_cast<const Poco::TimeoutException*>(&exc))
        strReason = "no answer within " + std::to_string(m_timeout.totalMilliseconds()) + " ms";
    const std::string strMessage = "cannot connect to " + address() + ": " + strReason;
    if (dynamic_cast<const Poco::Net::ConnectionRefusedException*>(&exc))
        throw Poco::Net::ConnectionRefusedException(strMessage, exc.code());
    throw Poco::Net::NetException(strMessage, exc.code());
}

void WatchdogClient::requireConnected() const
{
    if (!m_bConnected)
        throw Poco::IllegalStateException("not connected to " + address());
}

void WatchdogClient::registerProcess(const std::string& strName, const std::string& strService, uint32_t nPid,
                                     uint32_t nTimeoutMs, const std::string& strExtra)
{
    sendRaw(WatchdogMessages::makeRegister(strName, strService, nPid, nTimeoutMs, strExtra));
}

void WatchdogClient::feed(const std::string& strName)
{
    sendRaw(WatchdogMessages::makeFeed(strName));
}

void WatchdogClient::cancel(const std::string& strName)
{
    sendRaw(WatchdogMessages::makeCancel(strName));
}

void WatchdogClient::sendRaw(const WatchdogMessages::Bytes& bytes)
{
    sendRaw(bytes.data(), bytes.size());
}

void WatchdogClient::sendRaw(const void* pData, std::size_t nLength)
{
    requireConnected();
    const char* pBytes = static_cast<const char*>(pData);
    std::size_t nSent = 0;
    try
    {
        while (nSent < nLength)
        {
            const int nChunk =
                m_socket.sendBytes(pBytes + nSent, static_cast<int>(nLength - nSent), sendFlags());
            if (nChunk <= 0)
                throw Poco::Net::NetException("send to " + address() + " wrote nothing");
            nSent += static_cast<std::size_t>(nChunk);
        }
    }
    catch (...)
    {
        close();
        throw;
    }
}

void WatchdogClient::checkConnection()
{
    requireConnected();
    try
    {
        // The watchdog never answers, so a readable socket that yields no
        // bytes means it closed its end. One read per call keeps this bounded.
        char buffer[WATCHDOG_MESSAGE_SIZE];
        if (m_socket.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ) &&
            m_socket.receiveBytes(buffer, sizeof(buffer)) <= 0)
            throw Poco::Net::ConnectionResetException("the watchdog at " + address() +
                                                      " closed the connection");
    }
    catch (...)
    {
        close();
        throw;
    }
}

void WatchdogClient::finish()
{
    requireConnected();
    try
    {
        m_socket.shutdownSend();
    }
    catch (...)
    {
        close();
        throw;
    }
    close();
}

void WatchdogClient::close() noexcept
{
    if (!m_bConnected)
        return;
    m_bConnected = false;
    try
    {
        m_socket.close();
    }
    catch (...)
    {
        // Closing a socket that already failed has nothing left to report.
    }
}

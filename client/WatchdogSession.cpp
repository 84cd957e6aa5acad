#include "WatchdogSession.h"

#include "WatchdogMessages.h"

#include <Poco/Exception.h>

#include <algorithm>

WatchdogSession::WatchdogSession(WatchdogClient& client, std::function<void(const std::string&)> report)
    : m_client(client), m_fnReport(std::move(report))
{
}

void WatchdogSession::registerProcess(const std::string& strName, const std::string& strService,
                                      uint32_t nPid, uint32_t nTimeoutMs, const std::string& strExtra)
{
    // Built first, so an overlong text is refused before it is remembered.
    const WatchdogMessages::Bytes bytes =
        WatchdogMessages::makeRegister(strName, strService, nPid, nTimeoutMs, strExtra);
    std::erase_if(m_vecRegistrations, [&](const Registration& r) { return r.strName == strName; });
    m_vecRegistrations.push_back(Registration{strName, strService, strExtra, nPid, nTimeoutMs});
    whenConnected([&] { m_client.sendRaw(bytes); });
}

void WatchdogSession::cancel(const std::string& strName)
{
    const WatchdogMessages::Bytes bytes = WatchdogMessages::makeCancel(strName);
    std::erase_if(m_vecRegistrations, [&](const Registration& r) { return r.strName == strName; });
    whenConnected([&] { m_client.sendRaw(bytes); });
}

void WatchdogSession::feed(const std::string& strName)
{
    const WatchdogMessages::Bytes bytes = WatchdogMessages::makeFeed(strName);
    whenConnected([&] { m_client.sendRaw(bytes); });
}

bool WatchdogSession::maintain()
{
    if (m_client.isConnected())
    {
        try
        {
            m_client.checkConnection();
            return true;
        }
        catch (const Poco::Exception& exc)
        {
            lose(exc.displayText());
        }
    }
    const Clock::time_point now = Clock::now();
    if (now < m_nextAttempt)
        return false;
    try
    {
        m_client.connect();
        for (const Registration& r : m_vecRegistrations)
            m_client.registerProcess(r.strName, r.strService, r.nPid, r.nTimeoutMs, r.strExtra);
    }
    catch (const Poco::Exception& exc)
    {
        m_client.close();
        if (!m_bLost)
            say("cannot connect to " + m_client.address() + " (" + exc.displayText() + "), trying again");
        m_bLost = true;
        // From the end of the failed attempt: a refused connect may itself
        // take a while (Windows tries again before it gives up).
        m_nextAttempt = Clock::now() + m_backoff;
        m_backoff = std::min(m_backoff * 2, MAX_BACKOFF);
        return false;
    }
    m_backoff = FIRST_BACKOFF;
    if (m_bLost)
        say("connected to " + m_client.address() + " again, " + std::to_string(m_vecRegistrations.size()) +
            " registration(s) sent again");
    m_bLost = false;
    return true;
}

void WatchdogSession::finish() noexcept
{
    try
    {
        if (m_client.isConnected())
            m_client.finish();
    }
    catch (const Poco::Exception&)
    {
        // The connection broke on its way out; nothing is left to send on it.
    }
    m_client.close();
}

void WatchdogSession::whenConnected(const std::function<void()>& send)
{
    if (!m_client.isConnected())
        return;
    try
    {
        send();
    }
    catch (const Poco::InvalidArgumentException&)
    {
        throw;
    }
    catch (const Poco::Exception& exc)
    {
        lose(exc.displayText());
    }
}

void WatchdogSession::lose(const std::string& strWhy)
{
    m_client.close();
    if (m_bLost)
        return;
    m_bLost = true;
    say("connection to " + m_client.address() + " lost (" + strWhy + "), connecting again");
    m_nextAttempt = Clock::now() + m_backoff;
}

void WatchdogSession::say(const std::string& strLine) const
{
    if (m_fnReport)
        m_fnReport(strLine);
}

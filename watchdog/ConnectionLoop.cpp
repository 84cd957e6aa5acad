// The worker's loop: accept clients, receive whole messages, dispatch them,
// then run the supervision cycle, once per pass. Each step of a pass (the
// accept poll, a client's poll, a client's message, the cycle) counts as
// progress, so whatever watches the worker from outside sees a long pass
// move on and a stuck step stand still.
#include "LogRecord.h"
#include "WatchdogServerModule.h"

#include <Poco/Clock.h>
#include <Poco/Exception.h>
#include <Poco/Timespan.h>

#include <cstring>

using Poco::Net::Socket;
using Poco::Net::StreamSocket;

void WatchdogServerModule::run()
{
    const Poco::Timespan pollTimeout(100000);
    // Fixed buffers, reused for every message: nothing is allocated per message.
    WatchdogMsgHeader header;
    WatchdogMsg msg;

    // However the worker ends, an exception included, the registry is saved
    // as the pass left it, and the module no longer counts as serving.
    struct OnWorkerEnd
    {
        WatchdogServerModule& module;
        ~OnWorkerEnd()
        {
            module.saveRegistryIfChanged();
            module.m_bWorkerRunning = false;
        }
    } onWorkerEnd{*this};

    while (!m_bStop)
    {
        const Poco::Clock passStarted;
        if (m_serverSocket.poll(pollTimeout, Socket::SELECT_READ))
        {
            WTD_INFO("[%s %?d] server get new client connect!\n");
            StreamSocket client = m_serverSocket.acceptConnection();
            client.setBlocking(false);
            m_vecClientSocket.push_back(client);
        }
        madeProgress();

        for (std::size_t i = 0; i < m_vecClientSocket.size();)
        {
            StreamSocket& client = m_vecClientSocket[i];
            try
            {
                const bool readable = client.poll(pollTimeout, Socket::SELECT_READ);
                madeProgress();
                if (!readable)
                {
                    ++i;
                    continue;
                }
                std::memset(&header, 0, sizeof(header));
                std::memset(&msg, 0, sizeof(msg));
                beginMessage();
                if (recvData(client, &header, WATCHDOG_HEADER_SIZE) < 0 ||
                    recvData(client, &msg, WATCHDOG_BODY_SIZE) < 0)
                {
                    madeProgress();
                    client.close();
                    m_vecClientSocket.erase(m_vecClientSocket.begin() + i);
                    continue;
                }
                madeProgress();
                processRecvData1(&header, &msg);
                ++i;
            }
            catch (Poco::Exception& exc)
            {
                WTD_ERROR("[%s %?d] client socket is exception : %s, erase it!\n", std::string(exc.what()));
                client.close();
                m_vecClientSocket.erase(m_vecClientSocket.begin() + i);
            }
        }

        Poco::Thread::sleep(50);
        handleClientProcess();
        madeProgress();
        saveRegistryIfChanged();
        madeProgress();
        ++m_nPassCount;
        m_statusReport.passEnded(*this, m_platform, nowMs(), passStarted);
    }
}

void WatchdogServerModule::beginMessage()
{
    m_clkMessageStart.update();
    m_iMessageBytes = 0;
}

int WatchdogServerModule::recvData(StreamSocket& socket, void* buffer, int length)
{
    char* bytes = static_cast<char*>(buffer);
    int count = 0;
    try
    {
        // The bound covers the whole message, header and body, counted from
        // its first byte: a client that trickles its bytes holds the worker no
        // longer than one that sends them all at once after the bound. The
        // wait is a poll, never a retry spin.
        const Poco::Clock::ClockDiff bound = Poco::Clock::ClockDiff(RECV_WAIT_BOUND_MS) * 1000;
        while (count < length)
        {
            const int received = socket.receiveBytes(bytes + count, length - count, 0);
            if (received > 0)
            {
                count += received;
                m_iMessageBytes += received;
                continue;
            }
            if (received == 0)
            {
                WTD_INFO("[%s %?d] client socket had closed, erase it!\n");
                return -4009;
            }
            const Poco::Clock::ClockDiff left = bound - m_clkMessageStart.elapsed();
            if (left <= 0)
            {
                WTD_ERROR("[%s %?d] client socket sent %?d of %?d bytes within %?d ms, erase it!\n",
                          m_iMessageBytes, WATCHDOG_MESSAGE_SIZE, RECV_WAIT_BOUND_MS);
                return -4011;
            }
            socket.poll(Poco::Timespan(left), Socket::SELECT_READ | Socket::SELECT_ERROR);
        }
        return 0;
    }
    catch (Poco::Exception& exc)
    {
        WTD_ERROR("[%s %?d] recv error client socket is exception : %s, erase it!\n",
                  std::string(exc.what()));
        return -4010;
    }
}

int WatchdogServerModule::processRecvData1(const WatchdogMsgHeader* header, const WatchdogMsg* msg)
{
    const uint16_t type = WatchdogWire::msgType(*header);
    WTD_INFO("[%s %?d] Msg ID[%?d]", type);
    switch (static_cast<WatchdogMsgType>(type))
    {
    case WatchdogMsgType::Register:
        registerWatchdog(msg);
        break;
    case WatchdogMsgType::Cancel:
        cancelWatchdog(msg);
        break;
    case WatchdogMsgType::Feed:
        feedWatchdog(msg);
        break;
    default:
        WTD_ERROR("[%s %?d] unknowing watchdog message type %?d", type);
        break;
    }
    return 0;
}

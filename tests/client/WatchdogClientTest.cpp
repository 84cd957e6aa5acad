// The client library over loopback, against a listener on an ephemeral port
// standing in for the watchdog: the client's connection, and the session
// that outlives it, connecting again with a growing pause and registering
// again what it had registered and not cancelled. The bytes of each message
// are test_wdctl.py's, against an encoder of its own.
#include "WatchdogClient.h"
#include "WatchdogSession.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

const Poco::Timespan GENEROUS(10, 0);

// The bytes of `messages`, one after another.
template <typename... Messages> std::string text(const Messages&... messages)
{
    return (std::string(messages.begin(), messages.end()) + ...);
}

class WatchdogClientTest : public ::testing::Test
{
protected:
    WatchdogClientTest() : m_server(Poco::Net::SocketAddress("127.0.0.1", 0)) {}

    uint16_t port() const { return m_server.address().port(); }

    Poco::Net::StreamSocket acceptOne()
    {
        EXPECT_TRUE(m_server.poll(GENEROUS, Poco::Net::Socket::SELECT_READ));
        Poco::Net::StreamSocket peer = m_server.acceptConnection();
        peer.setReceiveTimeout(GENEROUS);
        return peer;
    }

    // The next `count` whole messages the client sent, or what came before it closed.
    static std::string received(Poco::Net::StreamSocket& peer, std::size_t count)
    {
        std::string strAll(count * WATCHDOG_MESSAGE_SIZE, '\0');
        std::size_t nHave = 0;
        for (int n = 1; n > 0 && nHave < strAll.size();)
        {
            n = peer.receiveBytes(strAll.data() + nHave, static_cast<int>(strAll.size() - nHave));
            nHave += static_cast<std::size_t>(std::max(n, 0));
        }
        return strAll.substr(0, nHave);
    }

    Poco::Net::ServerSocket m_server;
};

} // namespace

TEST(ClientMessagesTest, TextLongerThanItsFieldIsRejectedNamingIt)
{
    const std::string str65(65, 'x');
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { WatchdogMessages::makeRegister(str65, "s", 1, 1); }, "processName"},
        {[&] { WatchdogMessages::makeRegister("p", str65, 1, 1); }, "serviceName"},
        {[&] { WatchdogMessages::makeRegister("p", "s", 1, 1, std::string(513, 'x')); }, "extraInfo"},
        {[&] { WatchdogMessages::makeFeed(str65); }, "processName"},
        {[&] { WatchdogMessages::makeRaw(7, str65); }, "processName"},
    };
    for (const auto& [build, szField] : cases)
        try
        {
            build();
            ADD_FAILURE() << szField << " accepted";
        }
        catch (const Poco::InvalidArgumentException& exc)
        {
            EXPECT_NE(exc.message().find(szField), std::string::npos) << exc.message();
        }
}

// A watchdog that closes (noticed by checkConnection), one that resets (a send
// throws instead of raising SIGPIPE), and none at all: each is an exception,
// and a client that lost its connection refuses to send.
TEST_F(WatchdogClientTest, LostOrAbsentWatchdogIsAnExceptionNeverFatal)
{
    const uint16_t nPort = port();
    WatchdogClient client("127.0.0.1", nPort, GENEROUS);
    client.connect();
    acceptOne().close();
    // The FIN arrives asynchronously; the deadline only bounds a broken build.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool bNoticed = false;
    while (!bNoticed && std::chrono::steady_clock::now() < deadline)
        try
        {
            m_server.poll(Poco::Timespan(0, 10000), Poco::Net::Socket::SELECT_READ); // a short pause
            client.checkConnection();
        }
        catch (const Poco::Net::ConnectionResetException&)
        {
            bNoticed = true;
        }
    EXPECT_TRUE(bNoticed);
    EXPECT_FALSE(client.isConnected());
    EXPECT_THROW(client.feed("p"), Poco::IllegalStateException);

    client.connect();
    Poco::Net::StreamSocket peer = acceptOne();
    peer.setLinger(true, 0); // close with RST
    peer.close();
    // Without MSG_NOSIGNAL this test process would die of SIGPIPE here.
    bool bThrown = false;
    for (int i = 0; i < 1000 && !bThrown; ++i)
        try
        {
            client.feed("p");
        }
        catch (const Poco::Exception&)
        {
            bThrown = true;
        }
    EXPECT_TRUE(bThrown);
    EXPECT_FALSE(client.isConnected());

    m_server.close();
    EXPECT_THROW(client.connect(), Poco::Net::ConnectionRefusedException);
}

TEST_F(WatchdogClientTest, SessionReconnectsWithGrowingPausesAndRegistersAgain)
{
    const uint16_t nPort = port();
    WatchdogClient client("127.0.0.1", nPort, GENEROUS);
    std::vector<std::string> vecReports;
    WatchdogSession session(client, [&](const std::string& line) { vecReports.push_back(line); });
    // A little past each attempt's time: a sleep may end a hair early (Wine's does).
    const auto untilDue = [&]
    { std::this_thread::sleep_until(session.nextAttempt() + std::chrono::milliseconds(2)); };

    // Registrations made before the first connection go out on it.
    session.registerProcess("a", "svcA", 1, 5000);
    session.registerProcess("b", "svcB", 2, 6000);
    ASSERT_TRUE(session.maintain());
    Poco::Net::StreamSocket peer = acceptOne();
    session.feed("a");
    EXPECT_EQ(received(peer, 3),
              text(WatchdogMessages::makeRegister("a", "svcA", 1, 5000),
                   WatchdogMessages::makeRegister("b", "svcB", 2, 6000), WatchdogMessages::makeFeed("a")));
    session.cancel("b");
    EXPECT_EQ(received(peer, 1), text(WatchdogMessages::makeCancel("b")));

    // The watchdog goes away: the loss is noticed, and while nobody listens
    // the attempts back off, a feed meanwhile is dropped.
    peer.close();
    m_server.close();
    EXPECT_FALSE(session.maintain());
    session.feed("a");
    EXPECT_FALSE(session.isConnected());
    std::vector<std::chrono::milliseconds> vecPauses;
    for (int i = 0; i < 3; ++i)
    {
        untilDue();
        EXPECT_FALSE(session.maintain());
        vecPauses.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
            session.nextAttempt() - WatchdogSession::Clock::now()));
    }
    EXPECT_GT(vecPauses[1], vecPauses[0]);
    EXPECT_GT(vecPauses[2], vecPauses[1]);
    EXPECT_LE(vecPauses[2], WatchdogSession::MAX_BACKOFF);

    // A watchdog on the same port again: only the registration still held is
    // sent again, before anything else.
    m_server = Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", nPort), true);
    for (int i = 0; i < 20 && !session.maintain(); ++i)
        untilDue();
    ASSERT_TRUE(session.isConnected());
    Poco::Net::StreamSocket peerAgain = acceptOne();
    session.feed("a");
    EXPECT_EQ(received(peerAgain, 2),
              text(WatchdogMessages::makeRegister("a", "svcA", 1, 5000), WatchdogMessages::makeFeed("a")));
    ASSERT_EQ(vecReports.size(), 2u);
    EXPECT_NE(vecReports[0].find("lost"), std::string::npos) << vecReports[0];
    EXPECT_NE(vecReports[1].find("1 registration(s) sent again"), std::string::npos) << vecReports[1];
    session.finish();
}

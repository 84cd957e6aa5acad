#include "WatchdogClient.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{

const Poco::Timespan GENEROUS(10, 0);

// A loopback listener on an ephemeral port standing in for the watchdog.
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

    // Everything the client sent until it closed its sending side.
    static std::string readToEnd(Poco::Net::StreamSocket& peer)
    {
        std::string strAll;
        char buffer[1024];
        for (int n; (n = peer.receiveBytes(buffer, sizeof(buffer))) > 0;)
            strAll.append(buffer, n);
        return strAll;
    }

    static std::string asString(const WatchdogMessages::Bytes& bytes)
    {
        return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    Poco::Net::ServerSocket m_server;
};

} // namespace

TEST_F(WatchdogClientTest, SendsWholeMessagesBackToBackOverOneConnection)
{
    WatchdogClient client("127.0.0.1", port(), GENEROUS);
    client.connect();
    Poco::Net::StreamSocket peer = acceptOne();
    client.registerProcess("proc", "svc", 42, 5000, "extra");
    client.feed("proc");
    client.cancel("proc");
    client.finish();
    EXPECT_FALSE(client.isConnected());

    const std::string strExpected =
        asString(WatchdogMessages::makeRegister("proc", "svc", 42, 5000, "extra")) +
        asString(WatchdogMessages::makeFeed("proc")) + asString(WatchdogMessages::makeCancel("proc"));
    EXPECT_EQ(readToEnd(peer), strExpected);
    EXPECT_FALSE(m_server.poll(Poco::Timespan(0), Poco::Net::Socket::SELECT_READ)) << "a second connection";
}

TEST_F(WatchdogClientTest, ConnectToClosedPortFailsWithAddressAndReason)
{
    const uint16_t nClosed = port();
    m_server.close();
    WatchdogClient client("127.0.0.1", nClosed, GENEROUS);
    try
    {
        client.connect();
        FAIL() << "connected to a closed port";
    }
    catch (const Poco::Net::ConnectionRefusedException& exc)
    {
        EXPECT_EQ(exc.message(),
                  "cannot connect to 127.0.0.1:" + std::to_string(nClosed) + ": Connection refused");
    }
    EXPECT_THROW(client.feed("p"), Poco::IllegalStateException);
}

TEST_F(WatchdogClientTest, LostWatchdogIsReportedNotFatal)
{
    WatchdogClient client("127.0.0.1", port(), GENEROUS);
    client.connect();
    acceptOne().close();

    // The FIN arrives asynchronously; the deadline only bounds a broken build.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool bNoticed = false;
    while (!bNoticed && std::chrono::steady_clock::now() < deadline)
    {
        try
        {
            m_server.poll(Poco::Timespan(0, 10000), Poco::Net::Socket::SELECT_READ); // a short pause
            client.checkConnection();
        }
        catch (const Poco::Net::ConnectionResetException&)
        {
            bNoticed = true;
        }
    }
    EXPECT_TRUE(bNoticed);
    EXPECT_FALSE(client.isConnected());
}

TEST_F(WatchdogClientTest, SendingToAResetConnectionThrowsInsteadOfRaisingSigpipe)
{
    WatchdogClient client("127.0.0.1", port(), GENEROUS);
    client.connect();
    Poco::Net::StreamSocket peer = acceptOne();
    peer.setLinger(true, 0); // close with RST
    peer.close();
    // Without MSG_NOSIGNAL this test process would die of SIGPIPE here.
    bool bThrown = false;
    for (int i = 0; i < 1000 && !bThrown; ++i)
    {
        try
        {
            client.feed("p");
        }
        catch (const Poco::Exception&)
        {
            bThrown = true;
        }
    }
    EXPECT_TRUE(bThrown);
    EXPECT_FALSE(client.isConnected());
}

// A session outlives its connection: it connects again with a growing pause
// and registers again what it had registered and not cancelled.
#include "WatchdogSession.h"
#include "WatchdogMessages.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
const Poco::Timespan GENEROUS(10, 0);

std::string asString(const WatchdogMessages::Bytes& bytes)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Reads exactly `count` messages from `peer`.
std::string readMessages(Poco::Net::StreamSocket& peer, int count)
{
    std::string strAll(static_cast<size_t>(count) * WATCHDOG_MESSAGE_SIZE, '\0');
    for (size_t got = 0; got < strAll.size();)
    {
        const int n = peer.receiveBytes(strAll.data() + got, static_cast<int>(strAll.size() - got));
        if (n <= 0)
            return strAll.substr(0, got);
        got += static_cast<size_t>(n);
    }
    return strAll;
}

// Calls maintain until it connects, at most `attempts` times, sleeping until
// each attempt is due.
bool reconnect(WatchdogSession& session, int attempts)
{
    for (int i = 0; i < attempts; ++i)
    {
        if (session.maintain())
            return true;
        std::this_thread::sleep_until(session.nextAttempt() + std::chrono::milliseconds(2));
    }
    return false;
}

TEST(WatchdogSessionTest, ReconnectsWithGrowingPausesAndRegistersAgain)
{
    Poco::Net::ServerSocket server(Poco::Net::SocketAddress("127.0.0.1", 0));
    const uint16_t nPort = server.address().port();
    WatchdogClient client("127.0.0.1", nPort, GENEROUS);
    std::vector<std::string> vecReports;
    WatchdogSession session(client, [&](const std::string& line) { vecReports.push_back(line); });

    // Registrations made before the first connection go out on it.
    session.registerProcess("a", "svcA", 1, 5000);
    session.registerProcess("b", "svcB", 2, 6000);
    ASSERT_TRUE(session.maintain());
    Poco::Net::StreamSocket peer = server.acceptConnection();
    peer.setReceiveTimeout(GENEROUS);
    session.feed("a");
    EXPECT_EQ(readMessages(peer, 3), asString(WatchdogMessages::makeRegister("a", "svcA", 1, 5000)) +
                                         asString(WatchdogMessages::makeRegister("b", "svcB", 2, 6000)) +
                                         asString(WatchdogMessages::makeFeed("a")));
    session.cancel("b");
    EXPECT_EQ(readMessages(peer, 1), asString(WatchdogMessages::makeCancel("b")));

    // The watchdog goes away: the loss is noticed, and while nobody listens
    // the attempts back off, a feed meanwhile is dropped.
    peer.close();
    server.close();
    EXPECT_FALSE(session.maintain());
    session.feed("a");
    EXPECT_FALSE(session.isConnected());
    std::vector<std::chrono::milliseconds> vecPauses;
    for (int i = 0; i < 3; ++i)
    {
        // A little past the time: a sleep may end a hair early (Wine's does).
        std::this_thread::sleep_until(session.nextAttempt() + std::chrono::milliseconds(2));
        EXPECT_FALSE(session.maintain());
        vecPauses.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(
            session.nextAttempt() - WatchdogSession::Clock::now()));
    }
    EXPECT_GT(vecPauses[1], vecPauses[0]);
    EXPECT_GT(vecPauses[2], vecPauses[1]);
    EXPECT_LE(vecPauses[2], WatchdogSession::MAX_BACKOFF);

    // A watchdog on the same port again: only the registration still held is
    // sent again, before anything else.
    Poco::Net::ServerSocket again(Poco::Net::SocketAddress("127.0.0.1", nPort), true);
    ASSERT_TRUE(reconnect(session, 20));
    Poco::Net::StreamSocket peerAgain = again.acceptConnection();
    peerAgain.setReceiveTimeout(GENEROUS);
    session.feed("a");
    EXPECT_EQ(readMessages(peerAgain, 2), asString(WatchdogMessages::makeRegister("a", "svcA", 1, 5000)) +
                                              asString(WatchdogMessages::makeFeed("a")));
    ASSERT_EQ(vecReports.size(), 2u);
    EXPECT_NE(vecReports[0].find("lost"), std::string::npos) << vecReports[0];
    EXPECT_NE(vecReports[1].find("1 registration(s) sent again"), std::string::npos) << vecReports[1];
    session.finish();
}
} // namespace

// The worker's loop over real loopback sockets, on the fake platform. Every
// record is stamped with the module's pass count when it arrives, so a test
// can tell which pass handled what.
#include "WatchdogTestSupport.h"

#include <Poco/Net/StreamSocket.h>
#include <gmock/gmock.h>

using Poco::Net::StreamSocket;
using ::testing::ElementsAre;

namespace
{

class ConnectionLoopTest : public ModuleTest
{
protected:
    ConnectionLoopTest()
    {
        WatchdogServerModule* observed = module.get();
        logs->setStamp([observed] { return observed->passCount(); });
    }

    ~ConnectionLoopTest() override
    {
        module.reset();
        logs->setStamp(nullptr);
    }

    void SetUp() override
    {
        ASSERT_EQ(module->init(), 0);
        logs->clear();
    }

    // Connects and waits until the worker has accepted this client and ended
    // that pass.
    StreamSocket connectClient()
    {
        const std::size_t accepted = logs->find("server get new client connect!\n").size();
        StreamSocket client;
        client.connect(Poco::Net::SocketAddress("127.0.0.1", module->listenAddress().port()));
        logs->waitForMessage("server get new client connect!\n", accepted + 1);
        const CapturingChannel::Records found = logs->find("server get new client connect!\n");
        if (found.size() > accepted)
            settle(found.back());
        else
            ADD_FAILURE() << "the client was not accepted";
        return client;
    }

    static void sendAll(StreamSocket& client, const std::string& bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size())
            sent += client.sendBytes(bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    }

    // Waits until the pass that wrote `record` has ended, so what that pass
    // did to the module may be read from this thread.
    void settle(const CapturedRecord& record)
    {
        ASSERT_TRUE(eventually([&] { return module->passCount() > record.stamp; }));
    }

    CapturedRecord waitForOne(const std::string& message)
    {
        EXPECT_TRUE(logs->waitForMessage(message)) << message;
        const CapturingChannel::Records found = logs->find(message);
        return found.empty() ? CapturedRecord() : found.front();
    }

    // Parks the worker in its supervision cycle while `arrange` runs, so
    // everything arranged is seen by the next pass's client walk at once.
    void whileWorkerParked(const std::function<void()>& arrange)
    {
        fake.services.holdOpens();
        ASSERT_TRUE(fake.services.waitUntilHeld());
        arrange();
        fake.services.releaseOpens();
    }

    // The client list belongs to the worker: read it only while it is parked.
    std::size_t parkedClientCount()
    {
        std::size_t count = 0;
        whileWorkerParked([&] { count = module->clientCount(); });
        return count;
    }
};

TEST_F(ConnectionLoopTest, BackToBackMessagesAreHandledOnePerPassInOrder)
{
    StreamSocket client = connectClient();
    sendAll(client,
            wireBytes(WatchdogMsgType::Register, makeMsg("app.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)) +
                wireBytes(WatchdogMsgType::Feed, makeMsg("app.exe")) +
                wireBytes(WatchdogMsgType::Cancel, makeMsg("app.exe")));
    waitForOne("cancel process[app.exe]!\n");

    EXPECT_THAT(logs->messages(),
                ElementsAre("server get new client connect!\n", "Msg ID[1]",
                            "register new process[app.exe]\n", "Msg ID[3]", "feed process[app.exe]!\n",
                            "Msg ID[2]", "cancel process[app.exe]!\n"));
    expectOne(logs.channel(), "run", "server get new client connect!\n", PRIO_INFO);
    expectOne(logs.channel(), "processRecvData1", "Msg ID[1]", PRIO_INFO);
    const uint64_t first = waitForOne("Msg ID[1]").stamp;
    EXPECT_EQ(waitForOne("Msg ID[3]").stamp, first + 1);
    EXPECT_EQ(waitForOne("Msg ID[2]").stamp, first + 2);
}

TEST_F(ConnectionLoopTest, SplitMessageIsPutTogether)
{
    StreamSocket client = connectClient();
    const std::string bytes =
        wireBytes(WatchdogMsgType::Register, makeMsg("split.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    sendAll(client, bytes.substr(0, 10));
    Poco::Thread::sleep(50);
    sendAll(client, bytes.substr(10, 310));
    Poco::Thread::sleep(50);
    sendAll(client, bytes.substr(320));
    settle(waitForOne("register new process[split.exe]\n"));

    EXPECT_EQ(logs->find("Msg ID[1]").size(), 1u);
    for (const CapturedRecord& record : logs->records())
        EXPECT_EQ(record.priority, PRIO_INFO) << record.text;
    EXPECT_EQ(parkedClientCount(), 1u);
}

TEST_F(ConnectionLoopTest, UnknownTypesAreDroppedAndHeaderJunkIsIgnored)
{
    StreamSocket client = connectClient();
    std::string bytes;
    for (uint16_t type : {0, 4, 256, 65535})
        bytes += wireBytes(type, makeMsg("rejected.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    bytes +=
        wireBytes(WatchdogMsgType::Register, makeMsg("junk.exe", "svc", 12, WATCHDOG_TIMEOUT_NEVER), 0xA5);
    bytes += wireBytes(WatchdogMsgType::Feed, makeMsg("junk.exe"), 0x5A);
    sendAll(client, bytes);
    settle(waitForOne("feed process[junk.exe]!\n"));

    EXPECT_THAT(logs->messages(),
                ElementsAre("server get new client connect!\n", "Msg ID[0]",
                            "unknowing watchdog message type 0", "Msg ID[4]",
                            "unknowing watchdog message type 4", "Msg ID[256]",
                            "unknowing watchdog message type 256", "Msg ID[65535]",
                            "unknowing watchdog message type 65535", "Msg ID[1]",
                            "register new process[junk.exe]\n", "Msg ID[3]", "feed process[junk.exe]!\n"));
    expectOne(logs.channel(), "processRecvData1", "unknowing watchdog message type 256", PRIO_ERROR);
    EXPECT_EQ(parkedClientCount(), 1u);
    EXPECT_EQ(module->watchProcesses().size(), 1u);
    EXPECT_EQ(record("junk.exe").processId, 12u);
}

TEST_F(ConnectionLoopTest, ClosedAndResetClientsAreRemovedAndTheirRegistrationsStay)
{
    StreamSocket quick = connectClient();
    quick.close();
    StreamSocket reset = connectClient();
    reset.setLinger(true, 0);
    reset.close();
    StreamSocket client = connectClient();
    sendAll(client,
            wireBytes(WatchdogMsgType::Register, makeMsg("keep.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)));
    waitForOne("register new process[keep.exe]\n");
    client.close();

    const std::string resetMessage =
        "recv error client socket is exception : Connection reset by peer, erase it!\n";
    waitForOne(resetMessage);
    expectOne(logs.channel(), "recvData", resetMessage, PRIO_ERROR);
    ASSERT_TRUE(logs->waitForMessage("client socket had closed, erase it!\n", 2));
    settle(logs->find("client socket had closed, erase it!\n").back());
    for (const CapturedRecord& record : logs->find("client socket had closed, erase it!\n"))
    {
        EXPECT_EQ(record.function, "WatchdogServerModule::recvData");
        EXPECT_EQ(record.priority, PRIO_INFO);
    }
    EXPECT_EQ(parkedClientCount(), 0u);
    EXPECT_TRUE(has("keep.exe"));
}

TEST_F(ConnectionLoopTest, ClientBehindAClosedOneIsServedInTheSamePass)
{
    StreamSocket first = connectClient();
    StreamSocket second = connectClient();
    StreamSocket third = connectClient();
    ASSERT_EQ(parkedClientCount(), 3u);

    whileWorkerParked(
        [&]
        {
            first.close();
            sendAll(second, wireBytes(WatchdogMsgType::Register,
                                      makeMsg("second.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)));
        });
    const CapturedRecord closed = waitForOne("client socket had closed, erase it!\n");
    const CapturedRecord served = waitForOne("Msg ID[1]");
    EXPECT_EQ(served.stamp, closed.stamp);
    settle(served);
    EXPECT_EQ(parkedClientCount(), 2u);
}

TEST_F(ConnectionLoopTest, SilentHalfMessageIsDroppedAndOthersGoOn)
{
    StreamSocket silent = connectClient();
    StreamSocket busy = connectClient();
    sendAll(busy,
            wireBytes(WatchdogMsgType::Register, makeMsg("busy.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)));
    waitForOne("register new process[busy.exe]\n");

    whileWorkerParked(
        [&]
        {
            sendAll(silent, wireBytes(WatchdogMsgType::Register, makeMsg("half.exe")).substr(0, 320));
            sendAll(busy, wireBytes(WatchdogMsgType::Feed, makeMsg("busy.exe")));
        });
    const std::string message = "client socket sent 320 of 668 bytes within 250 ms, erase it!\n";
    const CapturedRecord dropped = waitForOne(message);
    expectOne(logs.channel(), "recvData", message, PRIO_ERROR);
    EXPECT_EQ(waitForOne("feed process[busy.exe]!\n").stamp, dropped.stamp);

    ASSERT_TRUE(eventually([&] { return module->passCount() > dropped.stamp + 2; }));
    EXPECT_EQ(parkedClientCount(), 1u);
    EXPECT_FALSE(has("half.exe"));

    sendAll(busy, wireBytes(WatchdogMsgType::Feed, makeMsg("busy.exe")));
    EXPECT_TRUE(logs->waitForMessage("feed process[busy.exe]!\n", 2));
}

// The header and the body each arrive well inside the bound, but the whole
// message does not: the client is dropped and its message never handled.
TEST_F(ConnectionLoopTest, HeaderAndBodyTogetherMustArriveWithinTheBound)
{
    static_assert(WatchdogServerModule::RECV_WAIT_BOUND_MS == 250);
    const std::string bytes =
        wireBytes(WatchdogMsgType::Register, makeMsg("slow.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    StreamSocket slow = connectClient();
    // Queued while the worker is parked: the next pass reads it at once.
    whileWorkerParked([&] { sendAll(slow, bytes.substr(0, 10)); });
    Poco::Thread::sleep(200);
    sendAll(slow, bytes.substr(10, 110)); // the header complete, 200 ms after its first byte
    Poco::Thread::sleep(200);
    try
    {
        sendAll(slow, bytes.substr(120)); // the body, 200 ms later
    }
    catch (const Poco::Exception&) // already closed by the watchdog
    {
    }
    settle(waitForOne("client socket sent 120 of 668 bytes within 250 ms, erase it!\n"));
    EXPECT_TRUE(logs->find("register new process[slow.exe]\n").empty());
    EXPECT_EQ(parkedClientCount(), 0u);
}

} // namespace

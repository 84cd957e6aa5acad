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

// Messages queued back to back are handled one per pass, in order; a message
// sent in pieces is put together, unknown types are dropped and the header
// bytes the receiver does not interpret change nothing.
TEST_F(ConnectionLoopTest, BackToBackMessagesAreHandledOnePerPassInOrder)
{
    StreamSocket client = connectClient();
    std::string bytes;
    for (uint16_t type : {0, 4, 256, 65535})
        bytes += wireBytes(type, makeMsg("rejected.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    bytes +=
        wireBytes(WatchdogMsgType::Register, makeMsg("app.exe", "svc", 12, WATCHDOG_TIMEOUT_NEVER), 0xA5) +
        wireBytes(WatchdogMsgType::Feed, makeMsg("app.exe"), 0x5A) +
        wireBytes(WatchdogMsgType::Cancel, makeMsg("ghost.exe"));
    // The first message in three pieces, put together; the rest are queued
    // before it is complete.
    whileWorkerParked([&] { sendAll(client, bytes.substr(0, 10)); });
    Poco::Thread::sleep(50);
    sendAll(client, bytes.substr(10, 310));
    Poco::Thread::sleep(50);
    sendAll(client, bytes.substr(320));
    settle(waitForOne("cancel process[ghost.exe] is not existed!\n"));

    EXPECT_THAT(logs->messages(),
                ElementsAre("server get new client connect!\n", "Msg ID[0]",
                            "unknowing watchdog message type 0", "Msg ID[4]",
                            "unknowing watchdog message type 4", "Msg ID[256]",
                            "unknowing watchdog message type 256", "Msg ID[65535]",
                            "unknowing watchdog message type 65535", "Msg ID[1]",
                            "register new process[app.exe]\n", "Msg ID[3]", "feed process[app.exe]!\n",
                            "Msg ID[2]", "cancel process[ghost.exe] is not existed!\n"));
    expectOne(logs.channel(), "run", "server get new client connect!\n", PRIO_INFO);
    expectOne(logs.channel(), "processRecvData1", "Msg ID[1]", PRIO_INFO);
    expectOne(logs.channel(), "processRecvData1", "unknowing watchdog message type 256", PRIO_ERROR);
    const CapturingChannel::Records records = logs->records();
    for (std::size_t i = 1; i < records.size(); i += 2)
        EXPECT_EQ(records[i].stamp, records[1].stamp + i / 2) << records[i].message;
    EXPECT_EQ(parkedClientCount(), 1u);
    EXPECT_EQ(savedFields(record("app.exe")),
              savedFields({"app.exe", "svc", "extra", 12, WATCHDOG_TIMEOUT_NEVER, nowMs()}));
}

// A client that closes is removed, its registration stays, and the client
// behind it is served in the same pass.
TEST_F(ConnectionLoopTest, AClosedClientIsRemovedAndTheOneBehindIsServedInTheSamePass)
{
    StreamSocket first = connectClient();
    StreamSocket second = connectClient();
    sendAll(first,
            wireBytes(WatchdogMsgType::Register, makeMsg("keep.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)));
    waitForOne("register new process[keep.exe]\n");

    whileWorkerParked(
        [&]
        {
            first.close();
            sendAll(second, wireBytes(WatchdogMsgType::Register, makeMsg("second.exe")));
        });
    const std::string closedMessage = "client socket had closed, erase it!\n";
    const CapturedRecord closed = waitForOne(closedMessage);
    EXPECT_EQ(waitForOne("register new process[second.exe]\n").stamp, closed.stamp);
    expectOne(logs.channel(), "recvData", closedMessage, PRIO_INFO);
    EXPECT_EQ(parkedClientCount(), 1u);
    EXPECT_TRUE(has("keep.exe"));
}

// A client that resets is removed with an error record (Wine reports such a
// reset as a graceful close, so this case is left out there).
TEST_F(ConnectionLoopTest, AResetClientIsRemovedWithAnError)
{
    StreamSocket reset = connectClient();
    whileWorkerParked(
        [&]
        {
            reset.setLinger(true, 0);
            reset.close();
        });
    const std::string resetMessage =
        "recv error client socket is exception : Connection reset by peer, erase it!\n";
    settle(waitForOne(resetMessage));
    expectOne(logs.channel(), "recvData", resetMessage, PRIO_ERROR);
    EXPECT_EQ(parkedClientCount(), 0u);
}

// A message must arrive whole, header and body together, within the bound
// counted from its first byte: here each part comes well inside it, the
// whole does not. Its client is dropped and the message never handled; the
// client behind it is served in the same pass and goes on.
TEST_F(ConnectionLoopTest, AClientWhoseMessageIsNotWholeWithinTheBoundIsDroppedAndOthersGoOn)
{
    static_assert(WatchdogServerModule::RECV_WAIT_BOUND_MS == 250);
    StreamSocket slow = connectClient();
    StreamSocket busy = connectClient();
    sendAll(busy,
            wireBytes(WatchdogMsgType::Register, makeMsg("busy.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER)));
    waitForOne("register new process[busy.exe]\n"); // served behind an idle client

    const std::string bytes = wireBytes(WatchdogMsgType::Register, makeMsg("slow.exe"));
    // Queued while the worker is parked: the next pass reads them at once.
    whileWorkerParked(
        [&]
        {
            sendAll(slow, bytes.substr(0, 10));
            sendAll(busy, wireBytes(WatchdogMsgType::Feed, makeMsg("busy.exe")));
        });
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
    const std::string message = "client socket sent 120 of 668 bytes within 250 ms, erase it!\n";
    const CapturedRecord dropped = waitForOne(message);
    expectOne(logs.channel(), "recvData", message, PRIO_ERROR);
    EXPECT_EQ(waitForOne("feed process[busy.exe]!\n").stamp, dropped.stamp);
    settle(dropped);
    EXPECT_TRUE(logs->find("register new process[slow.exe]\n").empty());
    EXPECT_EQ(parkedClientCount(), 1u);

    sendAll(busy, wireBytes(WatchdogMsgType::Feed, makeMsg("busy.exe")));
    EXPECT_TRUE(logs->waitForMessage("feed process[busy.exe]!\n", 2));
}

} // namespace

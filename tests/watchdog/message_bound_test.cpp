// The bound on one message: once its first byte is read, header and body
// together must follow within RECV_WAIT_BOUND_MS, over real loopback sockets.
#include "WatchdogTestSupport.h"

#include <Poco/Net/StreamSocket.h>

using Poco::Net::StreamSocket;

namespace
{

class MessageBoundTest : public ModuleTest
{
protected:
    void SetUp() override { ASSERT_EQ(module->init(), 0); }
    ~MessageBoundTest() override { module.reset(); }
};

// The header and the body each arrive well inside the bound, but the whole
// message does not: the client is dropped and its message never handled.
TEST_F(MessageBoundTest, HeaderAndBodyTogetherMustArriveWithinTheBound)
{
    static_assert(WatchdogServerModule::RECV_WAIT_BOUND_MS == 250);
    const std::string bytes =
        wireBytes(WatchdogMsgType::Register, makeMsg("slow.exe", "svc", 11, WATCHDOG_TIMEOUT_NEVER));
    StreamSocket slow;
    // Connected and its first bytes queued while the worker is parked in its
    // cycle, so the next pass accepts it at once and starts reading when the
    // worker is released.
    fake.services.holdOpens();
    ASSERT_TRUE(fake.services.waitUntilHeld());
    slow.connect(Poco::Net::SocketAddress("127.0.0.1", module->listenAddress().port()));
    slow.sendBytes(bytes.data(), 10);
    fake.services.releaseOpens();
    Poco::Thread::sleep(200);
    slow.sendBytes(bytes.data() + 10, 110); // the header complete, 200 ms after its first byte
    Poco::Thread::sleep(200);
    try
    {
        slow.sendBytes(bytes.data() + 120, static_cast<int>(bytes.size()) - 120); // the body, 200 ms later
    }
    catch (const Poco::Exception&)
    {
        // Already closed by the watchdog.
    }

    const std::string dropped = "client socket sent 120 of 668 bytes within 250 ms, erase it!\n";
    ASSERT_TRUE(logs->waitForMessage(dropped));
    expectOne(logs.channel(), "recvData", dropped, PRIO_ERROR);
    const uint64_t pass = module->passCount();
    ASSERT_TRUE(eventually([&] { return module->passCount() > pass + 1; }));
    EXPECT_TRUE(logs->find("register new process[slow.exe]\n").empty());
}

} // namespace

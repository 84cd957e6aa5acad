// Start-up and shutdown of the module on the fake platform.
#include "WatchdogTestSupport.h"

#include <Poco/Exception.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gmock/gmock.h>

#include <atomic>
#include <future>
#include <thread>

using Poco::Net::ServerSocket;
using Poco::Net::SocketAddress;
using Poco::Net::StreamSocket;
using ::testing::ElementsAre;

namespace
{

class LifecycleTest : public ModuleTest
{
protected:
    StreamSocket connectClient()
    {
        return StreamSocket(SocketAddress("127.0.0.1", module->listenAddress().port()));
    }
};

TEST_F(LifecycleTest, FailedIntegrityCheckEndsTheWatchdogAndListensNowhere)
{
    Poco::UInt16 port = 0;
    {
        ServerSocket probe;
        probe.bind(SocketAddress("127.0.0.1", 0), false, false);
        port = probe.address().port();
    }
    module = std::make_unique<WatchdogServerModule>(fake.platform(), "127.0.0.1", port);
    fake.install.setVerdict(7);

    EXPECT_EQ(module->init(), 7);
    EXPECT_THAT(fake.install.killed(), ElementsAre("REdodevaz.exe"));
    EXPECT_FALSE(module->isServing());
    EXPECT_TRUE(fake.services.opened().empty());
    StreamSocket client;
    EXPECT_THROW(client.connect(SocketAddress("127.0.0.1", port)), Poco::Net::ConnectionRefusedException);
}

// The dependent services are checked once the socket listens and before
// the worker runs; a client that connects meanwhile is served afterwards.
TEST_F(LifecycleTest, DependentServicesAreCheckedBetweenListenAndWorkerStart)
{
    fake.services.holdOpens();
    std::future<int> result = std::async(std::launch::async, [&] { return module->init(); });
    const bool held = fake.services.waitUntilHeld();
    const bool servingDuringCheck = module->isServing();
    std::unique_ptr<StreamSocket> early;
    if (held)
    {
        EXPECT_NO_THROW(early = std::make_unique<StreamSocket>(connectClient()))
            << "nothing listened while the services were checked";
    }
    fake.services.releaseOpens();

    ASSERT_TRUE(held);
    EXPECT_FALSE(servingDuringCheck);
    EXPECT_EQ(result.get(), 0);
    EXPECT_TRUE(module->isServing());
    EXPECT_TRUE(logs->waitForMessage("server get new client connect!\n"));
}

// The destructor waits for the pass under way (here held in a service query),
// then every client connection is closed.
TEST_F(LifecycleTest, DestructionWaitsForThePassUnderWayAndClosesTheClients)
{
    ASSERT_EQ(module->init(), 0);
    StreamSocket first = connectClient();
    StreamSocket second = connectClient();
    ASSERT_TRUE(logs->waitForMessage("server get new client connect!\n", 2));

    fake.services.holdOpens();
    ASSERT_TRUE(fake.services.waitUntilHeld());
    std::atomic<bool> destroyed{false};
    std::thread destroyer(
        [&]
        {
            module.reset();
            destroyed = true;
        });
    Poco::Thread::sleep(200); // a window for a destructor that does not wait
    const bool returnedWhileHeld = destroyed;
    fake.services.releaseOpens();
    destroyer.join();
    EXPECT_FALSE(returnedWhileHeld);
    for (StreamSocket* client : {&first, &second})
    {
        client->setReceiveTimeout(Poco::Timespan(10, 0));
        char byte = 0;
        EXPECT_EQ(client->receiveBytes(&byte, 1), 0);
    }
}

TEST_F(LifecycleTest, ExceptionInSupervisionEndsOnlyTheWorker)
{
    for (const char* name : {"MySqlqvms80", "DUZI", "VADA"})
        fake.services.setRunning(name);
    ASSERT_EQ(module->init(), 0);
    ASSERT_TRUE(module->isServing());

    fake.processes.throwOnLaunch("start");
    fake.services.setStopped("DUZI");
    ASSERT_TRUE(eventually([&] { return !module->isServing(); }));
    EXPECT_EQ(logs->find("DUZI Status changed from running to stop!\n").size(), 1u);
    EXPECT_TRUE(logs->find("start DUZI int the loop!\n").empty());
    EXPECT_EQ(module->serverStatuses().at("DUZI"), SERVER_STOP);
    module.reset();
}

} // namespace

// libFuzzer entry: arbitrary bytes from up to four simulated clients go
// through the framing, the dispatcher (processRecvData1), the registry and
// the supervision cycle (handleClientProcess) of a module on the fake
// platform, one loop pass after another; the registry invariants are checked
// after every pass. No socket is opened.
//
// Input layout (make_corpus.py writes the same):
//   byte 0   bits 0-1  clients - 1
//            bits 2-4  chunk size: 1, 3, 20, 64, 333, 648, 668, 1000 bytes
//            bit  5    chunk to client: round robin, or runs of 4 chunks
//            bits 6-7  clock step: 1, 4, 30 or 4194304 s (the last wraps
//                      the 32-bit millisecond clock)
//   byte 1-2 services MySqlqvms80, DUZI, VADA, svc and "" (3 bits each, from
//            bit 0 of byte 1 on): registered, running, running state
//            unreadable; bit 15: a started "net" keeps running
//   byte 3   bit (pass % 8): whether the clock steps after that pass
//   rest     the clients' byte streams, cut into chunks
#include "ClientStreams.h"
#include "RegistryInvariants.h"
#include "WatchdogServerModule.h"
#include "fakes/FakePlatform.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/NullChannel.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace
{

constexpr std::size_t PREFIX_SIZE = 4;
constexpr std::array<std::size_t, 8> CHUNK_SIZES = {1, 3, 20, 64, 333, 648, 668, 1000};
constexpr std::array<uint32_t, 4> CLOCK_STEPS = {1, 4, 30, 4194304};
const char* const SERVICES[] = {"MySqlqvms80", "DUZI", "VADA", "svc", ""};
constexpr std::size_t SERVICE_COUNT = sizeof(SERVICES) / sizeof(SERVICES[0]);
// Passes run after the last whole message, so restarts and the tolerated
// cycles after them are reached even by short inputs.
constexpr int TRAILING_PASSES = 6;

struct Setup
{
    std::size_t clients;
    std::size_t chunk;
    bool runs;
    uint32_t clockStep;
    uint16_t services;
    uint8_t clockMask;
};

Setup decode(const uint8_t* data)
{
    return Setup{static_cast<std::size_t>(data[0] & 3u) + 1,
                 CHUNK_SIZES[(data[0] >> 2) & 7u],
                 (data[0] & 0x20u) != 0,
                 CLOCK_STEPS[data[0] >> 6],
                 static_cast<uint16_t>(data[1] | (data[2] << 8)),
                 data[3]};
}

void scriptServices(FakePlatform& fake, uint16_t bits, std::size_t flipped)
{
    for (std::size_t i = 0; i < SERVICE_COUNT; ++i)
    {
        FakeServiceControl::Service service;
        service.registered = (bits >> (3 * i)) & 1u;
        service.running = ((bits >> (3 * i + 1)) & 1u) != (i == flipped);
        service.throwOnIsRunning = (bits >> (3 * i + 2)) & 1u;
        fake.services.set(SERVICES[i], service);
    }
    fake.processes.setLaunchedRunning((bits >> 15) & 1u);
}

// One loop pass: at most one message per client, in client order, then the
// supervision cycle. False when the cycle threw, which ends the worker.
bool pass(WatchdogServerModule& module, ClientStreams& streams)
{
    for (std::size_t client = 0; client < streams.clientCount(); ++client)
    {
        std::optional<FramedMessage> message = streams.take(client);
        if (message)
            module.processRecvData1(message->header.get(), message->body.get());
    }
    try
    {
        module.handleClientProcess();
    }
    catch (const Poco::Exception&)
    {
        return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Records are still formatted in full (the helper formats before it asks
    // the logger); only their output is discarded.
    Poco::Logger& logger = Poco::Logger::get("WTD");
    logger.setChannel(new Poco::NullChannel);
    logger.setLevel(Poco::Message::PRIO_TRACE);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < PREFIX_SIZE)
        return 0;
    const Setup setup = decode(data);
    data += PREFIX_SIZE;
    size -= PREFIX_SIZE;

    FakePlatform fake;
    scriptServices(fake, setup.services, SERVICE_COUNT);
    WatchdogServerModule module(fake.platform(), "127.0.0.1", 0);
    try
    {
        module.checkAndStartServer();
    }
    catch (const Poco::Exception&)
    {
        return 0; // start-up fails; nothing to supervise
    }
    checkRegistryInvariants(module);

    ClientStreams streams(setup.clients);
    // About one message per client arrives in each pass.
    const std::size_t perPass = setup.clients * WATCHDOG_MESSAGE_SIZE;
    std::size_t offset = 0;
    std::size_t chunkIndex = 0;
    int trailing = 0;
    for (std::size_t passIndex = 0; offset < size || streams.anyWhole() || trailing++ < TRAILING_PASSES;
         ++passIndex)
    {
        for (std::size_t delivered = 0; offset < size && delivered < perPass; ++chunkIndex)
        {
            const std::size_t length = std::min(setup.chunk, size - offset);
            const std::size_t client = setup.runs ? chunkIndex / 4 : chunkIndex;
            streams.deliver(client, data + offset, length);
            offset += length;
            delivered += length;
        }
        // Every eighth pass one service changes its running state for a
        // while, so status changes and "_DOG" suppression are reached.
        if (passIndex % 8 == 7)
            scriptServices(fake, setup.services, (passIndex / 8) % SERVICE_COUNT);

        const bool alive = pass(module, streams);
        checkRegistryInvariants(module);
        if (!alive)
            return 0;
        if ((setup.clockMask >> (passIndex % 8)) & 1u)
            fake.clock.advance(setup.clockStep);
    }
    return 0;
}

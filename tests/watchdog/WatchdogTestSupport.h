#pragma once

// Shared helpers of the watchdog module's tests: message building, a fixture
// holding a module on the fake platform with the "WTD" records captured, and
// record assertions.

#include "WatchdogServerModule.h"
#include "fakes/CapturingChannel.h"
#include "fakes/FakePlatform.h"

#include <Poco/Thread.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>

inline WatchdogMsg makeMsg(const std::string& name, const std::string& service = "svc", uint32_t pid = 100,
                           uint32_t timeoutMs = 5000, const std::string& extra = "extra")
{
    WatchdogMsg msg;
    std::memset(&msg, 0, sizeof(msg));
    WatchdogWire::setText(msg.processName, name);
    WatchdogWire::setText(msg.serviceName, service);
    WatchdogWire::setText(msg.extraInfo, extra);
    WatchdogWire::setProcessId(msg, pid);
    WatchdogWire::setTimeoutMs(msg, timeoutMs);
    return msg;
}

// The 668 bytes of one message on the wire; `junk` fills the header bytes
// that the receiver does not interpret.
inline std::string wireBytes(uint16_t type, const WatchdogMsg& msg, unsigned char junk = 0)
{
    WatchdogMsgHeader header;
    std::memset(&header, junk, sizeof(header));
    WatchdogWire::setMsgType(header, type);
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
    bytes.append(reinterpret_cast<const char*>(&msg), sizeof(msg));
    return bytes;
}

inline std::string wireBytes(WatchdogMsgType type, const WatchdogMsg& msg, unsigned char junk = 0)
{
    return wireBytes(static_cast<uint16_t>(type), msg, junk);
}

// The fields of a record that are saved with the registry, to compare two
// records whole: EXPECT_EQ(savedFields(a), savedFields(b)).
inline auto savedFields(const WatchProcess& p)
{
    return std::make_tuple(p.processName, p.serviceName, p.extraInfo, p.processId, p.timeoutMs, p.lastFeedMs,
                           p.restartCount, p.graceCount, static_cast<uint32_t>(p.watchState));
}

// Checks `predicate` every 10 ms until it holds or 10 s have passed.
inline bool eventually(const std::function<bool()>& predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Poco::Thread::sleep(10);
    }
    return true;
}

// Exactly one record with `message`, written by `function` at `priority`.
inline void expectOne(CapturingChannel& channel, const std::string& function, const std::string& message,
                      Poco::Message::Priority priority)
{
    const CapturingChannel::Records found = channel.find(message);
    ASSERT_EQ(found.size(), 1u) << "records of: " << message;
    EXPECT_EQ(found[0].function, "WatchdogServerModule::" + function) << message;
    EXPECT_GT(found[0].line, 0) << message;
    EXPECT_EQ(found[0].priority, priority) << message;
    EXPECT_EQ(found[0].source, "WTD") << message;
}

// A module on the fake platform that will listen on 127.0.0.1, any port; not
// started. Members are destroyed module first, then the log capture.
class ModuleTest : public ::testing::Test
{
protected:
    ModuleTest() : module(std::make_unique<WatchdogServerModule>(fake.platform(), "127.0.0.1", 0)) {}

    bool has(const std::string& name) const { return module->watchProcesses().count(name) == 1; }

    const WatchProcess& record(const std::string& name) const
    {
        const auto it = module->watchProcesses().find(name);
        if (it == module->watchProcesses().end())
            throw std::runtime_error("no record " + name);
        return it->second;
    }

    int registerMsg(const WatchdogMsg& msg) { return module->registerWatchdog(&msg); }
    int feed(const std::string& name)
    {
        const WatchdogMsg msg = makeMsg(name);
        return module->feedWatchdog(&msg);
    }
    int cancel(const std::string& name)
    {
        const WatchdogMsg msg = makeMsg(name);
        return module->cancelWatchdog(&msg);
    }
    void cycles(int count)
    {
        for (int i = 0; i < count; ++i)
            module->handleClientProcess();
    }
    uint32_t nowMs() { return fake.clock.getSecondCount() * 1000u; }

    FakePlatform fake;
    LogCapture logs;
    std::unique_ptr<WatchdogServerModule> module;
};

constexpr auto PRIO_INFO = Poco::Message::PRIO_INFORMATION;
constexpr auto PRIO_ERROR = Poco::Message::PRIO_ERROR;
constexpr auto PRIO_CRITICAL = Poco::Message::PRIO_CRITICAL;

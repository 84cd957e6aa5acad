// The process-wide module on the real platform, at the fixed production
// address: the one place where the module meets the real machine. Tests,
// benchmarks and the fuzzer build their own modules on fakes.
#include "WatchdogServerModule.h"

namespace
{
const char* const LISTEN_HOST = "0.0.0.0";
const Poco::UInt16 LISTEN_PORT = 30024;
} // namespace

WatchdogServerModule& WatchdogServerModule::getInstance()
{
    // A function-local static is constructed once even under concurrent first
    // calls, and destroyed at exit before POCO's logging, which was set up
    // earlier, so the worker's last records still reach their channels.
    static WatchdogServerModule instance(realPlatform(), LISTEN_HOST, LISTEN_PORT);
    return instance;
}

#pragma once

#include <cstdint>

// State of a service as the service manager reports it.
enum ServerStatus : int32_t
{
    SERVER_RUNNING = 0,      // registered and running
    SERVER_STOP = 1,         // registered and in any other state (stopped, pending, paused)
    SERVER_UNREGISTERED = 2, // no service of that name
    SERVER_EXCEPTION = 3,    // registered, but its running state could not be read
};

// "running", "stop", "unregistered"; every other value reads "exception".
const char* serverStatusText(int32_t status);

#pragma once

#include <cstdint>

// Source of the whole-second count behind the watchdog's notion of now.
// Abstract so tests move time forward instead of sleeping; the real one
// reads System::getSecondCount.
class SecondsClock
{
public:
    virtual ~SecondsClock() = default;
    virtual uint32_t getSecondCount() = 0;
};

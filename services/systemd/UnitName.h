#pragma once

#include <string>

// How a service name becomes a systemd unit, and what of a unit's state the
// watchdog reads. Pure functions: no bus, no manager. Linux only.

// The unit of service NAME: "NAME.service".
std::string serviceUnitName(const std::string& name);

// Whether a unit in ActiveState `activeState` counts as running: "active" or
// "reloading". Activating, deactivating, failed and inactive do not, as the
// native service manager counts only a service that reached the running state.
bool isRunningActiveState(const std::string& activeState);

// The D-Bus object path of unit `unitName` (e.g. "DUZI.service"). Throws
// Poco::InvalidArgumentException when it cannot be formed.
std::string systemdUnitPath(const std::string& unitName);

// Whether `unitName` is a valid name for a service unit by systemd's rules:
// NAME.service or NAME@INSTANCE.service, at most 255 bytes, NAME and INSTANCE
// not empty and of the characters [A-Za-z0-9:_.\-] (and '@' in INSTANCE).
// Anything else (blanks, '/', ';', non-ASCII bytes, ...) is not a unit name.
bool isValidServiceUnitName(const std::string& unitName);

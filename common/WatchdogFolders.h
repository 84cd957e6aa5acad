#pragma once

#include <optional>
#include <string>

// The folders the watchdog keeps state in, found by one rule for every
// program of ours (the watchdog, `net`, `wdctl`).

// The runtime folder: the status snapshot, and `net`'s queue and lock files
// below net/. $ZELVIN_RUNTIME_DIR; else systemd's $RUNTIME_DIRECTORY (its
// first entry); else /run/zelvin-watchdog for root and
// $XDG_RUNTIME_DIR/zelvin-watchdog for other users (on Windows
// %ProgramData%\Zelvin Watchdog\run). The watchdog hands the folder to its
// children in ZELVIN_RUNTIME_DIR. Not created here. Throws
// Poco::InvalidArgumentException when none can be found (a user without
// XDG_RUNTIME_DIR).
std::string runtimeFolder();

// The runtime folder of the machine's own watchdog, the service: the last
// choice of runtimeFolder() (/run/zelvin-watchdog, or %ProgramData%\Zelvin
// Watchdog\run). Throws as runtimeFolder() on Windows without ProgramData.
std::string systemRuntimeFolder();

// The state folder, where the registry is saved across restarts:
// $ZELVIN_STATE_DIR, else systemd's $STATE_DIRECTORY (its first entry);
// nullopt when neither is set, and then nothing is saved. Never throws.
std::optional<std::string> stateFolder();

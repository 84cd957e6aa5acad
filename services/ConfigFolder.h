#pragma once

#include <filesystem>

// The folder that holds Watchdog.xml, found by the watchdog's own rule
// (ConfigLookup.h): $ZELVIN_CONFIG_DIR, else the executable's folder when
// Watchdog.xml is there, else ../etc beside it. The watchdog hands the folder
// it found to its children in ZELVIN_CONFIG_DIR, so `net` reads the same
// allow-list. Never throws.
std::filesystem::path configFolder();

// Throws Poco::FileAccessDeniedException naming `path` when another account
// than root or ours owns it, or when group or others may write it: a file
// that decides what the watchdog may act on must be the operator's alone.
// Does nothing where files have no such owner (Windows). Throws
// Poco::FileNotFoundException when it cannot be looked at.
void requireOperatorOwned(const std::filesystem::path& path);

#pragma once

// The three services the product depends on, in the order the watchdog
// checks them at start-up: the database and two of the product's servers.
// Without an allow-list they are the only services the watchdog may control
// through systemd or the Windows service control manager.
inline constexpr const char* DEPENDENT_SERVICES[] = {"MySqlqvms80", "DUZI", "VADA"};

#pragma once

#include <cstdint>

// Whether a process with this id exists, whoever owns it: one of another user
// that may not be signalled or opened still counts as alive.
bool isProcessAlive(int64_t pid);

#pragma once

// Raises the open-file soft limit to the hard limit, so a burst of client
// connections does not make accept fail. Returns the limit in force after the
// call (0 where the platform has no such limit). Never throws.
namespace ProcessLimits
{
unsigned long raiseOpenFileLimit();
}

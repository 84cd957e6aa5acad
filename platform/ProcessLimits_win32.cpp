#include "ProcessLimits.h"

// Windows has no per-process limit on sockets to raise.
namespace ProcessLimits
{
unsigned long raiseOpenFileLimit()
{
    return 0;
}
} // namespace ProcessLimits

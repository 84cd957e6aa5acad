#include "ServerStatus.h"

const char* serverStatusText(int32_t status)
{
    switch (status)
    {
    case SERVER_RUNNING:
        return "running";
    case SERVER_STOP:
        return "stop";
    case SERVER_UNREGISTERED:
        return "unregistered";
    default:
        return "exception";
    }
}

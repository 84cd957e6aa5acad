#include "ServiceManagerName.h"

const char* systemServiceManagerName()
{
    return "windows";
}

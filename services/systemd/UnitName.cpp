#include "UnitName.h"

#include <Poco/Exception.h>

#include <cstdlib>
#include <systemd/sd-bus.h>

namespace
{
const std::string SERVICE_SUFFIX = ".service";
const size_t UNIT_NAME_MAX_BYTES = 255;

bool isUnitNameChar(char c, bool bAllowAt)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' ||
           c == '_' || c == '.' || c == '\\' || c == '-' || (bAllowAt && c == '@');
}
} // namespace

std::string serviceUnitName(const std::string& name)
{
    return name + SERVICE_SUFFIX;
}

bool isRunningActiveState(const std::string& activeState)
{
    return activeState == "active" || activeState == "reloading";
}

std::string systemdUnitPath(const std::string& unitName)
{
    char* szPath = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", unitName.c_str(), &szPath) < 0)
        throw Poco::InvalidArgumentException("No object path for unit " + unitName);
    std::string strPath(szPath);
    std::free(szPath);
    return strPath;
}

bool isValidServiceUnitName(const std::string& unitName)
{
    if (unitName.size() > UNIT_NAME_MAX_BYTES || unitName.size() <= SERVICE_SUFFIX.size() ||
        unitName.compare(unitName.size() - SERVICE_SUFFIX.size(), SERVICE_SUFFIX.size(), SERVICE_SUFFIX) != 0)
        return false;
    const std::string stem = unitName.substr(0, unitName.size() - SERVICE_SUFFIX.size());
    const std::string::size_type at = stem.find('@');
    const std::string prefix = stem.substr(0, at);
    if (prefix.empty())
        return false;
    for (char c : prefix)
        if (!isUnitNameChar(c, false))
            return false;
    if (at == std::string::npos)
        return true;
    // An instance: NAME@INSTANCE. A bare template (NAME@) cannot run.
    const std::string instance = stem.substr(at + 1);
    if (instance.empty())
        return false;
    for (char c : instance)
        if (!isUnitNameChar(c, true))
            return false;
    return true;
}

#include "System.h"

#include "ConfigLookup.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <limits.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string System::getExecutableDir()
{
    char buf[PATH_MAX];
    const ssize_t len = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (len <= 0)
    {
        // Without /proc the working directory is the only sensible anchor.
        std::error_code ec;
        const fs::path cwd = fs::current_path(ec);
        return ec ? std::string(".") : cwd.string();
    }
    buf[len] = '\0';
    return fs::path(buf).parent_path().string();
}

std::string System::getConfigFilePath(const std::string& name)
{
    const char* envDir = std::getenv(zvconfig::CONFIG_DIR_VARIABLE);
    return zvconfig::lookupConfigFile(name, envDir != nullptr ? envDir : "", getExecutableDir()).string();
}

uint32_t System::getSecondCount()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}

#include "System.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include <limits.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

bool isFile(const fs::path& path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

} // namespace

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
    if (fs::path(name).is_absolute())
        return name;

    const char* envDir = std::getenv("ZELVIN_CONFIG_DIR");
    if (envDir != nullptr && *envDir != '\0')
        return (fs::path(envDir) / name).lexically_normal().string();

    const fs::path exeDir = getExecutableDir();
    const fs::path besideExe = (exeDir / name).lexically_normal();
    if (isFile(besideExe))
        return besideExe.string();
    // The installed layout: bin/ holds the programs, etc/ their configuration.
    return (exeDir / ".." / "etc" / name).lexically_normal().string();
}

uint32_t System::getSecondCount()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}

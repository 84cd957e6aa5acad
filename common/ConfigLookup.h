#pragma once

#include <filesystem>
#include <system_error>

// Where a configuration file is found, the same rule on every system and for
// every program: System::getConfigFilePath for the watchdog, and `net`, which
// reads the service allow-list beside Watchdog.xml. The callers supply only
// the environment variable and the executable's folder.
namespace zvconfig
{

// Name of the environment variable that names the configuration folder.
inline constexpr const char* CONFIG_DIR_VARIABLE = "ZELVIN_CONFIG_DIR";

// `name` itself when absolute; otherwise envDir/name when `envDir` is not
// empty; otherwise the first that exists of exeDir/name and
// exeDir/../etc/name (the installed layout: bin/ beside etc/); when neither
// exists, exeDir/../etc/name. The result is lexically normalised, with the
// system's separators. Never throws.
inline std::filesystem::path lookupConfigFile(const std::filesystem::path& name,
                                              const std::filesystem::path& envDir,
                                              const std::filesystem::path& exeDir)
{
    if (name.is_absolute())
        return name;
    if (!envDir.empty())
        return (envDir / name).lexically_normal();

    const std::filesystem::path besideExe = (exeDir / name).lexically_normal();
    std::error_code ec;
    if (std::filesystem::exists(besideExe, ec))
        return besideExe;
    return (exeDir / ".." / "etc" / name).lexically_normal();
}

} // namespace zvconfig

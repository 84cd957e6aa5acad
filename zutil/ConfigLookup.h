#pragma once

#include <filesystem>

// Where System::getConfigFilePath finds a configuration file, the same rule
// on every system; the platform files supply only the environment variable
// and the executable's folder. Not exported.
namespace zvconfig
{

// Name of the environment variable that names the configuration folder.
inline constexpr const char* CONFIG_DIR_VARIABLE = "ZELVIN_CONFIG_DIR";

// `name` itself when absolute; otherwise envDir/name when `envDir` is not
// empty; otherwise the first that exists of exeDir/name and
// exeDir/../etc/name (the installed layout: bin/ beside etc/); when neither
// exists, exeDir/../etc/name. The result is lexically normalised, with the
// system's separators. Never throws.
std::filesystem::path lookupConfigFile(const std::filesystem::path& name, const std::filesystem::path& envDir,
                                       const std::filesystem::path& exeDir);

} // namespace zvconfig

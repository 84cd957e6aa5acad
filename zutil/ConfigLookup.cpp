#include "ConfigLookup.h"

#include <system_error>

namespace fs = std::filesystem;

namespace zvconfig
{

fs::path lookupConfigFile(const fs::path& name, const fs::path& envDir, const fs::path& exeDir)
{
    if (name.is_absolute())
        return name;
    if (!envDir.empty())
        return (envDir / name).lexically_normal();

    const fs::path besideExe = (exeDir / name).lexically_normal();
    std::error_code ec;
    if (fs::exists(besideExe, ec))
        return besideExe;
    return (exeDir / ".." / "etc" / name).lexically_normal();
}

} // namespace zvconfig

#include "ConfigFolder.h"

#include "ConfigLookup.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::filesystem::path configFolder()
{
    const char* szDir = std::getenv(zvconfig::CONFIG_DIR_VARIABLE);
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path exeDir = ec ? std::filesystem::path(".") : exe.parent_path();
    return zvconfig::lookupConfigFile("Watchdog.xml", szDir != nullptr ? szDir : "", exeDir).parent_path();
}

void requireOperatorOwned(const std::filesystem::path& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw Poco::FileNotFoundException("Cannot look at " + path.string(), std::strerror(errno));
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        throw Poco::FileAccessDeniedException(path.string() + " belongs to another account (uid " +
                                              std::to_string(st.st_uid) + ")");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        throw Poco::FileAccessDeniedException(path.string() + " may be written by other accounts");
}

#include "System.h"

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

// Processes are ended with SIGKILL: the name-based kill stands in for an
// immediate, unconditional termination, so there is no grace period to wait
// out and nothing for the caller to reap beyond its own children.

namespace
{

const std::string EXE_SUFFIX = ".exe";

std::string withoutExeSuffix(const std::string& name)
{
    if (name.size() > EXE_SUFFIX.size() &&
        name.compare(name.size() - EXE_SUFFIX.size(), EXE_SUFFIX.size(), EXE_SUFFIX) == 0)
        return name.substr(0, name.size() - EXE_SUFFIX.size());
    return name;
}

std::string baseName(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Executable name of `pid`: the target of /proc/PID/exe (comm is cut at 15
// characters), else argv[0] for processes whose exe link we may not read.
// Empty for kernel threads, zombies and processes that vanished meanwhile.
std::string imageNameOf(const std::string& pid)
{
    const std::string procDir = "/proc/" + pid;
    char buf[PATH_MAX];
    const ssize_t len = ::readlink((procDir + "/exe").c_str(), buf, sizeof(buf) - 1);
    if (len > 0)
    {
        std::string target(buf, static_cast<std::size_t>(len));
        const std::string deleted = " (deleted)";
        if (target.size() > deleted.size() &&
            target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
            target.resize(target.size() - deleted.size());
        return baseName(target);
    }
    std::ifstream cmdline(procDir + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    return baseName(argv0);
}

bool isPid(const char* name)
{
    if (*name == '\0')
        return false;
    for (const char* p = name; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

std::vector<pid_t> findProcesses(const std::string& wanted)
{
    std::vector<pid_t> vecPid;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return vecPid;
    while (const dirent* entry = ::readdir(dir))
    {
        if (!isPid(entry->d_name))
            continue;
        const std::string image = imageNameOf(entry->d_name);
        if (!image.empty() && withoutExeSuffix(image) == wanted)
            vecPid.push_back(static_cast<pid_t>(std::stol(entry->d_name)));
    }
    ::closedir(dir);
    return vecPid;
}

} // namespace

bool System::findAndKillProcessByName(const std::string& imageName)
{
    const std::string wanted = withoutExeSuffix(baseName(imageName));
    if (wanted.empty())
        return false;

    const pid_t self = ::getpid();
    bool bSelf = false;
    bool bSignalled = false;
    for (const pid_t pid : findProcesses(wanted))
    {
        if (pid == self)
            bSelf = true;
        else if (::kill(pid, SIGKILL) == 0)
            bSignalled = true;
    }
    if (bSelf)
        bSignalled = ::kill(self, SIGKILL) == 0;
    return bSignalled;
}

#include "ServiceAllowList.h"

#include "ConfigFolder.h"
#include "DependentServices.h"

#include <Poco/Exception.h>
#include <Poco/UTF8String.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace
{
// A list is a few lines; a file far larger is no list of ours.
const std::uintmax_t LIST_MAX_BYTES = 1 << 20;

std::string trimmed(const std::string& line)
{
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

void readList(const fs::path& file, std::set<std::string>& setNames, bool bIgnoreCase)
{
    requireOperatorOwned(file);
    std::error_code ec;
    if (fs::file_size(file, ec) > LIST_MAX_BYTES || ec)
        throw Poco::FileException("Cannot read the service list " + file.string(),
                                  ec ? ec.message() : "larger than 1 MiB");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw Poco::FileException("Cannot read the service list " + file.string());
    std::string line;
    while (std::getline(in, line))
    {
        const std::string name = trimmed(line);
        if (name.empty() || name[0] == '#')
            continue;
        setNames.insert(bIgnoreCase ? Poco::UTF8::toLower(name) : name);
    }
    if (in.bad())
        throw Poco::FileException("Cannot read the service list " + file.string());
}
} // namespace

ServiceAllowList ServiceAllowList::read(const fs::path& configFolder, Fallback eFallback, bool bIgnoreCase)
{
    ServiceAllowList list;
    list.m_folder = configFolder / "services.d";
    list.m_bIgnoreCase = bIgnoreCase;
    std::error_code ec;
    if (!fs::exists(list.m_folder, ec))
    {
        list.m_bAny = eFallback == FALLBACK_ANY;
        if (!list.m_bAny)
            for (const char* szName : DEPENDENT_SERVICES)
                list.m_setNames.insert(bIgnoreCase ? Poco::UTF8::toLower(szName) : szName);
        return list;
    }
    list.m_bListed = true;
    requireOperatorOwned(list.m_folder);
    std::vector<fs::path> vecFiles;
    for (fs::directory_iterator it(list.m_folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".conf" && it->is_regular_file())
            vecFiles.push_back(it->path());
    if (ec)
        throw Poco::FileException("Cannot read the service list folder " + list.m_folder.string(),
                                  ec.message());
    std::sort(vecFiles.begin(), vecFiles.end());
    for (const fs::path& file : vecFiles)
        readList(file, list.m_setNames, bIgnoreCase);
    return list;
}

bool ServiceAllowList::allows(const std::string& name) const
{
    if (m_bAny)
        return true;
    return m_setNames.count(m_bIgnoreCase ? Poco::UTF8::toLower(name) : name) != 0;
}

std::string ServiceAllowList::describe() const
{
    if (m_bListed)
        return std::to_string(m_setNames.size()) + " service(s) listed in " + m_folder.string();
    if (m_bAny)
        return "no " + m_folder.string() + ": every service of the service folder may be controlled";
    return "no " + m_folder.string() + ": only the dependent services may be controlled";
}

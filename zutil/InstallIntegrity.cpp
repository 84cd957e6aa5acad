#include "InstallIntegrity.h"
#include "System.h"

#include <Poco/DigestEngine.h>
#include <Poco/Logger.h>
#include <Poco/SHA2Engine.h>
#include <Poco/String.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>

namespace fs = std::filesystem;

namespace
{

const std::string MANIFEST_NAME = "integrity.sha256";
constexpr std::size_t HASH_HEX_LEN = 64;

struct ManifestEntry
{
    std::string strHash; // lower-case hex
    std::string strPath;
};

// One line as sha256sum writes it: 64 hex digits, a blank, then a blank
// (text mode) or '*' (binary mode), then the path. Nothing when malformed.
std::optional<ManifestEntry> parseLine(const std::string& line)
{
    if (line.size() < HASH_HEX_LEN + 3 || line[HASH_HEX_LEN] != ' ' ||
        (line[HASH_HEX_LEN + 1] != ' ' && line[HASH_HEX_LEN + 1] != '*'))
        return std::nullopt;
    for (std::size_t i = 0; i < HASH_HEX_LEN; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(line[i])))
            return std::nullopt;
    return ManifestEntry{Poco::toLower(line.substr(0, HASH_HEX_LEN)), line.substr(HASH_HEX_LEN + 2)};
}

// SHA-256 of the file in lower-case hex; nothing when it cannot be read.
std::optional<std::string> hashOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
    char buf[64 * 1024];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0)
        engine.update(buf, static_cast<unsigned>(in.gcount()));
    if (in.bad())
        return std::nullopt;
    return Poco::DigestEngine::digestToHex(engine.digest());
}

} // namespace

int ZV_CheckInstallIntegrity(const std::string& folder)
{
    try
    {
        const fs::path dir = folder.empty() ? fs::path(System::getExecutableDir()) : fs::path(folder);
        const fs::path manifest = dir / MANIFEST_NAME;
        std::error_code ec;
        if (!fs::exists(manifest, ec))
            return 0;

        Poco::Logger& logger = Poco::Logger::get("ZelvinUtil");
        std::ifstream in(manifest);
        if (!in)
        {
            logger.error("cannot read " + manifest.string());
            return -1;
        }
        int bad = 0;
        std::string line;
        for (int lineNo = 1; std::getline(in, line); ++lineNo)
        {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            const std::optional<ManifestEntry> entry = parseLine(line);
            if (!entry)
            {
                logger.error(manifest.string() + ":" + std::to_string(lineNo) + ": not a sha256sum line");
                return -1;
            }
            const fs::path file =
                fs::path(entry->strPath).is_absolute() ? fs::path(entry->strPath) : dir / entry->strPath;
            const std::optional<std::string> hash = hashOf(file);
            if (!hash || *hash != entry->strHash)
            {
                logger.error("installation check: " + file.string() +
                             (hash ? " has been modified" : " is missing"));
                ++bad;
            }
        }
        return bad;
    }
    catch (...)
    {
        return -1;
    }
}

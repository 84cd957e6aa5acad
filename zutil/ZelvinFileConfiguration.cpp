#include "ZelvinFileConfiguration.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>

#include <fstream>

ZelvinFileConfiguration::ZelvinFileConfiguration() = default;

ZelvinFileConfiguration* ZelvinFileConfiguration::getInstance()
{
    static ZelvinFileConfiguration instance;
    return &instance;
}

void ZelvinFileConfiguration::loadConfiguration(const std::string& path)
{
    // Opened here rather than by the XML parser so that a missing file and a
    // malformed one give distinct, path-naming errors.
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Poco::FileNotFoundException("cannot read configuration file " + path);

    Poco::AutoPtr<Poco::Util::XMLConfiguration> pConfig(new Poco::Util::XMLConfiguration);
    try
    {
        pConfig->load(in);
    }
    catch (const Poco::Exception& e)
    {
        throw Poco::DataFormatException("malformed configuration file " + path + ": " + e.displayText());
    }

    Poco::FastMutex::ScopedLock lock(m_mutex);
    m_pConfig = pConfig;
    m_strPath = path;
}

int ZelvinFileConfiguration::getInt(const std::string& key) const
{
    Poco::FastMutex::ScopedLock lock(m_mutex);
    const std::string where = m_strPath.empty() ? std::string("(no configuration loaded)") : m_strPath;
    if (!m_pConfig || !m_pConfig->hasProperty(key))
        throw Poco::NotFoundException("configuration key " + key + " in " + where);
    const std::string value = m_pConfig->getString(key);

    int result = 0;
    if (!Poco::NumberParser::tryParse(Poco::trim(value), result))
        throw Poco::SyntaxException("configuration key " + key + " in " + where + " is not an integer: \"" +
                                    value + "\"");
    return result;
}

std::string ZelvinFileConfiguration::getString(const std::string& key, const std::string& defaultValue) const
{
    Poco::FastMutex::ScopedLock lock(m_mutex);
    if (!m_pConfig)
        return defaultValue;
    try
    {
        return m_pConfig->getString(key, defaultValue);
    }
    catch (const Poco::Exception&)
    {
        // A broken ${...} reference in the value: the caller asked for no throw.
        return defaultValue;
    }
}

std::string ZelvinFileConfiguration::path() const
{
    Poco::FastMutex::ScopedLock lock(m_mutex);
    return m_strPath;
}

#pragma once

#include "ZelvinUtilExport.h"

#include <Poco/AutoPtr.h>
#include <Poco/Mutex.h>
#include <Poco/Util/XMLConfiguration.h>

#include <string>

// The process-wide configuration store, loaded from one XML file.
// Keys use Poco::Util::XMLConfiguration's property paths ("Log.Type[@value]").
class ZELVINUTIL_API ZelvinFileConfiguration
{
public:
    // The same object on every call; created on first use, thread-safe.
    static ZelvinFileConfiguration* getInstance();

    // Replaces what is held by the file at `path`. Throws Poco::FileNotFoundException
    // (missing or unreadable) or Poco::DataFormatException (malformed XML); the
    // message names the path. On failure the previous contents stay.
    void loadConfiguration(const std::string& path);

    // Integer at `key`. Throws Poco::NotFoundException naming the key and the
    // file when the key is absent, Poco::SyntaxException when it is no integer.
    int getInt(const std::string& key) const;

    // Text at `key`, or `defaultValue` when absent. Never throws.
    std::string getString(const std::string& key, const std::string& defaultValue) const;

    // Path of the file last loaded; empty before the first load.
    std::string path() const;

private:
    ZelvinFileConfiguration();

    mutable Poco::FastMutex m_mutex;
    Poco::AutoPtr<Poco::Util::XMLConfiguration> m_pConfig;
    std::string m_strPath;
};

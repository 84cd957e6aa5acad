#pragma once

#include <optional>
#include <string>

// Where the watchdog keeps its registry across restarts: the bytes of one
// saved registry, always replaced as a whole. What the bytes mean is the
// module's business (RegistryFormat); a store only keeps them. The real one
// is a file in the state folder (FileRegistryStore); tests use an in-memory
// fake. Used by the module's worker only, and by start-up before it runs.
class RegistryStore
{
public:
    virtual ~RegistryStore() = default;

    // The saved bytes; nullopt when nothing has been saved. Throws
    // Poco::Exception when something is saved but cannot be read, or the
    // store cannot be used at all.
    virtual std::optional<std::string> load() = 0;

    // Replaces the saved bytes durably: after a crash at any moment, load
    // finds either the old bytes or the new ones, whole. Throws
    // Poco::Exception.
    virtual void save(const std::string& bytes) = 0;

    // Moves what is saved out of the way, for an operator to look at, so the
    // next save starts afresh. Returns where it went; empty when it could not
    // be moved. Never throws.
    virtual std::string setAside() = 0;

    // Where the bytes are kept, for records.
    virtual std::string location() const = 0;
};

#pragma once

// An in-memory registry store: what was saved, how often, what was set
// aside, and scripted failures. Locks internally: the module's worker saves
// while the test thread reads.

#include "RegistryStore.h"

#include <Poco/Exception.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class FakeRegistryStore : public RegistryStore
{
public:
    std::optional<std::string> load() override
    {
        if (m_bFailLoad)
            throw Poco::ReadFileException("fake registry cannot be read");
        return bytes();
    }

    void save(const std::string& saved) override
    {
        if (m_bFailSave)
            throw Poco::WriteFileException("fake disk is full");
        put(saved);
        ++m_nSaves;
    }

    std::string setAside() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_optBytes)
            m_vecAside.push_back(*m_optBytes);
        m_optBytes.reset();
        m_bFailLoad = false;
        return "fake.unusable";
    }

    std::string location() const override { return "fake-registry"; }

    void put(const std::string& saved)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_optBytes = saved;
    }
    std::optional<std::string> bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_optBytes;
    }
    std::vector<std::string> setAsideBytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecAside;
    }

    std::atomic<int> m_nSaves{0};
    std::atomic<bool> m_bFailLoad{false};
    std::atomic<bool> m_bFailSave{false};

private:
    mutable std::mutex m_mutex;
    std::optional<std::string> m_optBytes;
    std::vector<std::string> m_vecAside;
};

#pragma once

// An in-memory registry store: what was saved, how often, and scripted
// failures. Locks internally: the module's worker saves while the test
// thread reads.

#include "RegistryStore.h"

#include <Poco/Exception.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

class FakeRegistryStore : public RegistryStore
{
public:
    std::optional<std::string> load() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bFailLoad)
            throw Poco::ReadFileException("fake registry cannot be read");
        return m_optBytes;
    }

    void save(const std::string& bytes) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bFailSave)
            throw Poco::WriteFileException("fake disk is full");
        m_optBytes = bytes;
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

    void put(const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_optBytes = bytes;
    }
    std::optional<std::string> bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_optBytes;
    }
    int saves() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nSaves;
    }
    std::vector<std::string> setAsideBytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecAside;
    }
    void failLoad(bool bFail)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFailLoad = bFail;
    }
    void failSave(bool bFail)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFailSave = bFail;
    }

private:
    mutable std::mutex m_mutex;
    std::optional<std::string> m_optBytes;
    std::vector<std::string> m_vecAside;
    int m_nSaves = 0;
    bool m_bFailLoad = false;
    bool m_bFailSave = false;
};

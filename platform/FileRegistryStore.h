#pragma once

#include "RegistryStore.h"

#include <string>

// The registry saved as the file "registry" in the state folder. A save
// writes "registry.new", flushes it to disk, renames it over "registry" and
// flushes the folder, so a crash leaves either the old file or the new one.
// The folder is created when missing, readable by the watchdog's account
// only (mode 0700 on Linux), and refused when another account could write
// to it or to the file (then nothing is loaded or saved). A file that
// cannot be used is set aside as "registry.unusable-YYYYMMDD-HHMMSS[-N]"
// beside it.
class FileRegistryStore : public RegistryStore
{
public:
    // `folder`: the state folder, UTF-8. Touches nothing until used.
    explicit FileRegistryStore(std::string folder);

    std::optional<std::string> load() override;
    void save(const std::string& bytes) override;
    std::string setAside() override;
    std::string location() const override { return m_strFile; }

    // Larger saved files are not read: no registry the watchdog writes comes
    // near this.
    static constexpr std::size_t MAX_FILE_BYTES = 256u << 20;

private:
    // Creates the folder when missing; throws when it cannot be used.
    void prepareFolder();

    std::string m_strFolder;
    std::string m_strFile;
    std::string m_strNewFile;
    bool m_bFolderReady = false;
};

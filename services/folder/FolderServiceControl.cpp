#include "FolderServiceControl.h"

#include "ServiceFolder.h"

#include <Poco/Exception.h>
#include <Poco/Thread.h>

namespace
{
// Pauses before the attempts after the first, about a second in all: long
// enough to ride out a folder that is replaced or remounted, short enough
// that a folder that is really gone is reported soon.
const long RETRY_PAUSES_MS[] = {50, 100, 200, 300, 350};

class FolderServiceHandle : public ServiceHandle
{
public:
    FolderServiceHandle(ServiceFolder folder, std::string strName)
        : m_folder(std::move(folder)), m_strName(std::move(strName))
    {
    }

    bool isRegistered() const override { return m_folder.isRegistered(m_strName); }
    bool isRunning() const override { return m_folder.isRunning(m_strName); }

private:
    ServiceFolder m_folder;
    std::string m_strName;
};
} // namespace

FolderServiceControl::FolderServiceControl(std::string strFolder) : m_strFolder(std::move(strFolder)) {}

std::unique_ptr<ServiceHandle> FolderServiceControl::open(const std::string& name)
{
    const std::string strPath = m_strFolder.empty() ? ServiceFolder::defaultPath() : m_strFolder;
    for (long lPauseMs : RETRY_PAUSES_MS)
    {
        try
        {
            return std::make_unique<FolderServiceHandle>(ServiceFolder(strPath), name);
        }
        catch (const Poco::FileException&)
        {
            Poco::Thread::sleep(lPauseMs);
        }
    }
    return std::make_unique<FolderServiceHandle>(ServiceFolder(strPath), name);
}

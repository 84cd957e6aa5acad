#include "FolderServiceControl.h"

#include "ServiceFolder.h"

namespace
{
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
    return std::make_unique<FolderServiceHandle>(ServiceFolder(strPath), name);
}

#include "MutexAdmission.h"

#include <Poco/Error.h>
#include <Poco/Exception.h>
#include <Poco/UTF8String.h>
#include <Poco/UnicodeConverter.h>

#include <cstdio>
#include <memory>
#include <vector>
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

namespace
{
using Clock = std::chrono::steady_clock;

// How long a command waits for an earlier sibling to take its place: that
// takes milliseconds once the sibling runs.
const int SIBLING_GRACE_MS = 3000;
// Service names longer than this (in UTF-8, lower case) are hashed into the
// object names, which may not exceed MAX_PATH.
const size_t KEY_MAX = 100;
const wchar_t* const PREFIX = L"Global\\ZelvinWatchdog.net.";

[[noreturn]] void fail(const std::string& what, DWORD dwError)
{
    throw Poco::SystemException(what,
                                Poco::Error::getMessage(dwError) + " (" + std::to_string(dwError) + ")");
}

std::string narrow(const std::wstring& text)
{
    std::string out;
    Poco::UnicodeConverter::toUTF8(text, out);
    return out;
}

// A handle that closes itself.
struct HandleCloser
{
    void operator()(HANDLE h) const
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            ::CloseHandle(h);
    }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Creation time in 100 ns units; 0 when it cannot be read.
ULONGLONG creationTime(HANDLE hProcess)
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(hProcess, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::wstring imagePath(HANDLE hProcess)
{
    wchar_t szPath[MAX_PATH * 4];
    DWORD dwSize = static_cast<DWORD>(std::size(szPath));
    return ::QueryFullProcessImageNameW(hProcess, 0, szPath, &dwSize) ? std::wstring(szPath, dwSize)
                                                                      : std::wstring();
}

// The security of every object: SYSTEM and Administrators, nobody else.
class ObjectSecurity
{
public:
    ObjectSecurity()
    {
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)",
                                                                    SDDL_REVISION_1, &m_pDescriptor, nullptr))
            fail("Cannot build a security descriptor", ::GetLastError());
        m_attributes = {sizeof m_attributes, m_pDescriptor, FALSE};
        HANDLE hToken = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
            fail("Cannot read this process's account", ::GetLastError());
        const bool bRead =
            readToken(hToken, TokenUser, m_vecUser) && readToken(hToken, TokenOwner, m_vecOwner);
        const DWORD dwError = ::GetLastError();
        ::CloseHandle(hToken);
        if (!bRead)
            fail("Cannot read this process's account", dwError);
    }
    ~ObjectSecurity() { ::LocalFree(m_pDescriptor); }
    ObjectSecurity(const ObjectSecurity&) = delete;
    ObjectSecurity& operator=(const ObjectSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() { return &m_attributes; }

    // Refuses an object that another account made: it could hold it or
    // let others in. Ours: SYSTEM, Administrators, our account, or the owner
    // our objects get.
    void requireTrustedOwner(HANDLE h, const std::wstring& name) const
    {
        PSID pOwner = nullptr;
        PSECURITY_DESCRIPTOR pDescriptor = nullptr;
        const DWORD dwError = ::GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                                                nullptr, nullptr, nullptr, &pDescriptor);
        if (dwError != ERROR_SUCCESS)
            fail("Cannot read the owner of " + narrow(name), dwError);
        const PSID pUser = reinterpret_cast<const TOKEN_USER*>(m_vecUser.data())->User.Sid;
        const PSID pDefaultOwner = reinterpret_cast<const TOKEN_OWNER*>(m_vecOwner.data())->Owner;
        const bool bTrusted = ::IsWellKnownSid(pOwner, WinLocalSystemSid) ||
                              ::IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid) ||
                              ::EqualSid(pOwner, pUser) || ::EqualSid(pOwner, pDefaultOwner);
        std::string owner = "an unknown account";
        wchar_t* szSid = nullptr;
        if (!bTrusted && ::ConvertSidToStringSidW(pOwner, &szSid))
        {
            owner = narrow(szSid);
            ::LocalFree(szSid);
        }
        ::LocalFree(pDescriptor);
        if (!bTrusted)
            throw Poco::NoPermissionException(narrow(name) + " belongs to another account (" + owner +
                                              "): refused");
    }

    HANDLE mutex(const std::wstring& name)
    {
        return checked(::CreateMutexW(attributes(), FALSE, name.c_str()), name);
    }

    HANDLE event(const std::wstring& name)
    {
        return checked(::CreateEventW(attributes(), TRUE, FALSE, name.c_str()), name);
    }

private:
    HANDLE checked(HANDLE h, const std::wstring& name)
    {
        if (h == nullptr)
            fail("Cannot open " + narrow(name), ::GetLastError());
        try
        {
            requireTrustedOwner(h, name);
        }
        catch (...)
        {
            ::CloseHandle(h);
            throw;
        }
        return h;
    }

    static bool readToken(HANDLE hToken, TOKEN_INFORMATION_CLASS eClass, std::vector<unsigned char>& vecOut)
    {
        DWORD dwSize = 0;
        ::GetTokenInformation(hToken, eClass, nullptr, 0, &dwSize);
        vecOut.resize(dwSize);
        return dwSize > 0 && ::GetTokenInformation(hToken, eClass, vecOut.data(), dwSize, &dwSize);
    }

    PSECURITY_DESCRIPTOR m_pDescriptor = nullptr;
    SECURITY_ATTRIBUTES m_attributes{};
    std::vector<unsigned char> m_vecUser;  // TOKEN_USER
    std::vector<unsigned char> m_vecOwner; // TOKEN_OWNER: what the objects we make get
};

// The part of the object names that stands for the service.
std::wstring serviceKey(const std::string& name)
{
    std::string key = Poco::UTF8::toLower(name);
    if (key.size() > KEY_MAX)
    {
        uint64_t uHash = 14695981039346656037ull; // FNV-1a
        for (unsigned char c : key)
            uHash = (uHash ^ c) * 1099511628211ull;
        char szHash[24];
        std::snprintf(szHash, sizeof szHash, "#%016llx", static_cast<unsigned long long>(uHash));
        key = key.substr(0, KEY_MAX - 17) + szHash;
    }
    std::wstring wide;
    Poco::UnicodeConverter::toUTF16(key, wide);
    return wide;
}

std::wstring joinedEventName(DWORD dwPid, ULONGLONG uCreated)
{
    return PREFIX + std::wstring(L"joined.") + std::to_wstring(dwPid) + L"." + std::to_wstring(uCreated);
}

struct Family
{
    OwnedHandle parent;                                           // SYNCHRONIZE; null for an orphan
    std::vector<std::pair<OwnedHandle, std::wstring>> vecEarlier; // siblings and their joined events
};

// Our parent, and the `net` commands it created before us that still run.
Family findFamily(DWORD dwOwnPid, ULONGLONG uOwnCreated)
{
    Family family;
    OwnedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return family;
    std::vector<PROCESSENTRY32W> vecEntries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL bMore = ::Process32FirstW(snapshot.get(), &entry); bMore;
         bMore = ::Process32NextW(snapshot.get(), &entry))
        vecEntries.push_back(entry);
    DWORD dwParent = 0;
    std::wstring ownExe;
    for (const PROCESSENTRY32W& e : vecEntries)
        if (e.th32ProcessID == dwOwnPid)
        {
            dwParent = e.th32ParentProcessID;
            ownExe = e.szExeFile;
        }
    if (dwParent == 0)
        return family;
    family.parent.reset(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwParent));
    const ULONGLONG uParentCreated = family.parent ? creationTime(family.parent.get()) : 0;
    // A process created after us holds the pid of a parent that has ended.
    if (!family.parent || uParentCreated == 0 || uParentCreated > uOwnCreated)
    {
        family.parent.reset();
        return family;
    }
    const std::wstring ownImage = imagePath(::GetCurrentProcess());
    for (const PROCESSENTRY32W& e : vecEntries)
    {
        if (e.th32ParentProcessID != dwParent || e.th32ProcessID == dwOwnPid ||
            _wcsicmp(e.szExeFile, ownExe.c_str()) != 0)
            continue;
        OwnedHandle sibling(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID));
        if (!sibling)
            continue;
        const ULONGLONG uCreated = creationTime(sibling.get());
        const bool bEarlier =
            uCreated < uOwnCreated || (uCreated == uOwnCreated && e.th32ProcessID < dwOwnPid);
        if (uCreated >= uParentCreated && bEarlier &&
            _wcsicmp(imagePath(sibling.get()).c_str(), ownImage.c_str()) == 0)
            family.vecEarlier.emplace_back(std::move(sibling), joinedEventName(e.th32ProcessID, uCreated));
    }
    return family;
}

DWORD msUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(left);
}

bool acquired(DWORD dwResult)
{
    return dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED;
}
} // namespace

MutexAdmission::MutexAdmission(const std::string& name, int iTimeoutMs)
    : m_strName(name), m_iTimeoutMs(iTimeoutMs),
      m_deadline(Clock::now() + std::chrono::milliseconds(iTimeoutMs))
{
    ObjectSecurity security;
    const DWORD dwOwnPid = ::GetCurrentProcessId();
    const ULONGLONG uOwnCreated = creationTime(::GetCurrentProcess());
    Family family = findFamily(dwOwnPid, uOwnCreated);
    m_hParent = family.parent.release();

    // Each earlier sibling takes its place first, whatever service it acts on.
    const Clock::time_point graceEnd =
        Clock::now() + std::chrono::milliseconds(std::min(iTimeoutMs, SIBLING_GRACE_MS));
    for (auto& [sibling, eventName] : family.vecEarlier)
    {
        OwnedHandle joined(security.event(eventName));
        HANDLE handles[] = {joined.get(), sibling.get()};
        ::WaitForMultipleObjects(2, handles, FALSE, msUntil(graceEnd));
    }

    const std::wstring key = PREFIX + serviceKey(name);
    m_hWork = security.mutex(key + L".work");
    m_hWait = security.mutex(key + L".wait");
    m_hJoined = security.event(joinedEventName(dwOwnPid, uOwnCreated));
    if (acquired(::WaitForSingleObject(m_hWork, 0)))
        m_bAtWork = true;
    else if (acquired(::WaitForSingleObject(m_hWait, 0)))
        m_bWaiting = true;
    m_bAdmitted = m_bAtWork || m_bWaiting;
    ::SetEvent(m_hJoined);
}

MutexAdmission::~MutexAdmission()
{
    if (m_bAtWork)
        ::ReleaseMutex(m_hWork);
    if (m_bWaiting)
        ::ReleaseMutex(m_hWait);
    for (HANDLE h : {m_hJoined, m_hWait, m_hWork, m_hParent})
        if (h != nullptr)
            ::CloseHandle(h);
}

void MutexAdmission::waitForTurn()
{
    if (m_bAtWork)
        return;
    HANDLE handles[] = {m_hWork, m_hParent};
    const DWORD dwResult =
        ::WaitForMultipleObjects(m_hParent != nullptr ? 2 : 1, handles, FALSE, msUntil(m_deadline));
    if (acquired(dwResult))
    {
        m_bAtWork = true;
        m_bWaiting = false;
        ::ReleaseMutex(m_hWait);
        return;
    }
    if (dwResult == WAIT_TIMEOUT)
        throw Poco::TimeoutException("Another net command for " + m_strName + " is still at work after " +
                                     std::to_string(m_iTimeoutMs) + " ms");
    if (dwResult == WAIT_OBJECT_0 + 1)
        throw Poco::SystemException("The program that ran net for " + m_strName +
                                    " has ended; the command waiting behind another one gives up");
    fail("Cannot wait for the command ahead of net " + m_strName, ::GetLastError());
}

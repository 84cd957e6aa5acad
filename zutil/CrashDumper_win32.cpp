#include "CrashDumper.h"

#include "CrashReport.h"
#include "LogState.h"
#include "System.h"
#include "ZvLog.h"

#include <Poco/UnicodeConverter.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <string>

#include <windows.h>
// After windows.h, which it depends on.
#include <dbghelp.h>

// The filter runs in a process that has just faulted: everything it can be
// spared is prepared by Install() (the folder as a wide string in a static
// buffer), and it allocates nothing itself. A minidump is what Windows tools
// read; writing it from the faulting process is the documented fallback when
// no separate dumper process exists.

namespace
{

wchar_t g_szCrashDir[MAX_PATH];

void writeNote(const wchar_t* path)
{
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE)
        return;
    char note[MAX_PATH * 3 + 64];
    int len = std::snprintf(note, sizeof(note), "Unhandled exception, crash dump written to ");
    len += ::WideCharToMultiByte(CP_UTF8, 0, path, -1, note + len, static_cast<int>(sizeof(note)) - len - 2,
                                 nullptr, nullptr);
    if (len > 0 && note[len - 1] == '\0')
        --len;
    note[len++] = '\n';
    DWORD written = 0;
    ::WriteFile(err, note, static_cast<DWORD>(len), &written, nullptr);
}

// <crash folder>\crash-<pid>-<time>.<extension> into `path`; false when no
// folder was settled on.
bool reportPath(wchar_t (&path)[MAX_PATH + 64], const wchar_t* extension)
{
    if (g_szCrashDir[0] == L'\0')
        return false;
    SYSTEMTIME now;
    ::GetSystemTime(&now);
    std::swprintf(path, MAX_PATH + 64, L"%ls\\crash-%lu-%04u%02u%02uT%02u%02u%02uZ.%ls", g_szCrashDir,
                  ::GetCurrentProcessId(), now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                  now.wSecond, extension);
    return true;
}

// A minidump of the whole process; `pExceptionInfo` may be null (no fault,
// the threads' stacks only).
bool writeMinidump(const wchar_t* path, EXCEPTION_POINTERS* pExceptionInfo)
{
    HANDLE file =
        ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = ::GetCurrentThreadId();
    info.ExceptionPointers = pExceptionInfo;
    info.ClientPointers = FALSE;
    const BOOL ok = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file, MiniDumpNormal,
                                        pExceptionInfo != nullptr ? &info : nullptr, nullptr, nullptr);
    ::CloseHandle(file);
    return ok != FALSE;
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pExceptionInfo)
{
    wchar_t path[MAX_PATH + 64];
    if (reportPath(path, L"dmp") && writeMinidump(path, pExceptionInfo))
        writeNote(path);
    // Either way the process ends as it would have without the filter.
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

std::string zvcrash::writeThreadEndReport(const std::string& description)
{
    // The text names the exception, which a minidump cannot; the minidump
    // beside it holds every thread's stack.
    const std::string text =
        "Thread ended by an uncaught exception\r\nPid: " + std::to_string(::GetCurrentProcessId()) +
        "\r\nException: " + description + "\r\n";
    wchar_t path[MAX_PATH + 64];
    bool bWritten = false;
    if (reportPath(path, L"txt"))
    {
        HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            DWORD written = 0;
            bWritten = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size();
            ::CloseHandle(file);
        }
    }
    if (!bWritten)
    {
        std::fputs(text.c_str(), stderr);
        return std::string();
    }
    std::string utf8;
    Poco::UnicodeConverter::toUTF8(path, utf8);
    return utf8;
}

void zvcrash::writeThreadEndDump()
{
    wchar_t dumpPath[MAX_PATH + 64];
    if (reportPath(dumpPath, L"dmp"))
        writeMinidump(dumpPath, nullptr);
}

void CrashDumper::Install()
{
    std::wstring folder;
    Poco::UnicodeConverter::toUTF16(zvlog::crashReportFolder(), folder);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder), ec);
    // A folder that cannot be made, or a path too long for the buffer, leaves
    // the crash to Windows' own error reporting.
    if (!ec && folder.size() < MAX_PATH)
        std::wmemcpy(g_szCrashDir, folder.c_str(), folder.size() + 1);
    else
        g_szCrashDir[0] = L'\0';
    ::SetUnhandledExceptionFilter(onUnhandledException);
    zvcrash::installThreadEndHandler();
}

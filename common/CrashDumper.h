#pragma once

#include "ZelvinUtilExport.h"

// Writes a crash report when the process dies of a fatal signal.
class ZELVINUTIL_API CrashDumper
{
public:
    // Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT.
    // A report (signal, UTC time, pid, backtrace) goes to
    // <log folder>/crash/crash-<pid>-<YYYYMMDDThhmmssZ>.txt, or to standard
    // error when that cannot be written, and the signal's default action then
    // ends the process. Log folder: ZV_GetLogDir(), else <exe dir>/../log, as
    // at the time of the call. Stack overflows are reported on the calling
    // thread only (it gets the alternate signal stack). On Windows an
    // unhandled-exception filter writes a minidump (crash-<pid>-<time>.dmp)
    // to the same folder instead. Also makes the library POCO's
    // ErrorHandler: an exception that ends a Poco::Thread gets a report
    // (crash-<pid>-<time>.txt in the same folder, plus a minidump on
    // Windows) and a critical record from logger "ZelvinUtil" that names it
    // and the report (on standard error when the log cannot take it); the
    // process goes on. Safe to call twice.
    static void Install();
};

#pragma once

#include <string>

// The two halves of reporting a thread that an exception ended: the report
// file, written by the OS's crash reporter (CrashDumper_*.cpp), and the
// handler POCO calls (ThreadEndHandler.cpp). Not exported.
namespace zvcrash
{

// Writes a report of the thread that `description` ended to the crash folder
// CrashDumper::Install settled on, named as the fatal-signal reports are.
// Returns the report's path; empty when it could not be written (the report
// then goes to standard error). Runs on the ended thread; never throws.
std::string writeThreadEndReport(const std::string& description);

// Adds what the system gives beyond that report, once the record naming it
// is written: on Windows a minidump of every thread beside it, which can take
// seconds (longer than a stall guard waits under Wine); nothing elsewhere.
// Runs on the ended thread; never throws.
void writeThreadEndDump();

// Makes POCO hand every exception that ends one of its threads to the
// utility library: a report as above and a critical record naming the
// exception, on standard error too when the log could not take it. Once per
// process; later calls change nothing. Never throws.
void installThreadEndHandler();

} // namespace zvcrash

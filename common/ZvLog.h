#pragma once

#include "ZelvinUtilExport.h"

#include <string>

// Sets up logging for the whole process from the configuration file
// `configName` (a bare name resolved through System::getConfigFilePath).
//   logType: 0 console only (standard error), 1 file only, 2 file and
//   console, 3 the journal (systemd's), 4 the journal and the file; any
//   other value is taken as 2 and reported in the log. Where no journal
//   takes records (none runs; always on Windows), 3 and 4 write the file,
//   and say so once: a line on standard error and a warning record.
//   flushEachRecord: non-zero flushes the log file after every record.
//   logDirOverride: when not empty, the log folder instead of Log.Dir
//   (relative to the working directory; Log.Dir is relative to the file).
//   fileStemOverride: when not empty, the log file's stem instead of the
//   config name's stem.
// The channels are applied to the root logger and every logger that exists;
// a second call replaces them. Call it before other threads log.
// Every output writes a record's control bytes, bytes that are not UTF-8,
// line separators and bidi controls escaped (a final line end stays in the
// file and on the console), so a text never makes more than one line. A
// journal entry has the escaped text as MESSAGE, its priority, the
// identifier zelvin-watchdog, the logger's name as WD_LOGGER, and the
// record's Poco::Message parameters MESSAGE_ID, WD_PROCESS, WD_SERVICE and
// WD_THREAD as fields of those names, when it has them. A log file that cannot
// be written never makes a log call throw: the record is dropped and
// counted, standard error gets one line when that begins, and once the file
// takes records again an error record from logger "ZelvinUtil" says how many
// were lost.
// Returns 0 on success, -1 when the configuration could not be read or the log
// file not opened (logging then goes to the journal when the log type has
// it, else to the console only, at information).
// Never throws.
ZELVINUTIL_API int ZV_InitLog(const char* configName, int logType, int flushEachRecord,
                              std::string logDirOverride, std::string fileStemOverride);

// Starts a background watch of Log.Level[@value] in the file that ZV_InitLog
// read; a change is applied to every logger within about a second. One thread
// per process, stopped and joined at exit. Returns 0 at once (also when already
// started), -1 when no ZV_InitLog has read a configuration yet.
ZELVINUTIL_API int ZV_WatchLogLevelChanged();

// Folder the log file is (or, with console-only logging, would be) written to
// after ZV_InitLog; empty before or when the configuration could not be read.
ZELVINUTIL_API std::string ZV_GetLogDir();

#pragma once
// The server's three text logs: the error log, the monitor log and the IPC
// log. Many processes append to each at once; every entry is written with one
// write() on an O_APPEND descriptor while the first 4 bytes of the file are
// locked, so entries never interleave. Logs are never truncated or rotated.
#include <string>

// Paths from the process-wide settings (ErrorLogFile, MonitorLogFile of the
// Options section; IPCLogfile of the Cluster section).
std::string errorLogFilePath();
std::string monitorLogFilePath();
std::string ipcLogFilePath();

// The error-log entry: "Error [M%05d - Job %d - X%05d:%s] - %s\n   - %s\n\n"
// (number, job, line, module, time, text with angle brackets escaped).
std::string formatErrorLogEntry(int number, int job, int line, const std::string& module,
                                const std::string& timeText, const std::string& text);

// Appends one error-log entry to the error log under the quiet lock; when
// the log cannot be opened or written, the entry goes to standard error
// instead (once, without a report).
void appendErrorLogEntry(int number, int job, int line, const std::string& module, const std::string& timeText,
                         const std::string& text);

// "%s - %s\n" (time, text with angle brackets escaped) to the monitor log.
void writeMonitorLogLine(const std::string& text);

// "%s Job %5d  %s %d - %s\n" (time, job, module, line, text) to the IPC log.
void writeIpcLogLine(const std::string& text, int job, int line, const std::string& module);

// Opens the log for appending (O_APPEND, close-on-exec, never on descriptor
// 0 to 2: a CGI program's standard output is the reply). A link in place of
// the log is refused, not followed. A new file is created 0666 under the
// umask and given the configured group's read-write access; created (when
// given) tells whether this call created it. -1 with errno on failure.
int openLogForAppend(const std::string& path, bool* created = nullptr);

// Appends entry to path: open (O_APPEND, never through a link; a new file is
// created 0666 under the umask and given the configured group's read-write
// access), lock bytes 0 to 3, one write, unlock, close. A failed lock is
// reported as message 267 unless quiet; the entry is written all the same. A
// write that fails part-way is cut back, so the log never keeps a torn
// entry. Returns false when the file could not be opened or the write
// failed, with errno telling why.
bool appendLogEntry(const std::string& path, const std::string& entry, bool quiet);

// The current local time as the 24-character log text ("" when it cannot be
// formatted).
std::string currentTimeText();

// Every "<" becomes "&lt;" and every ">" "&gt;".
std::string escapeAngleBrackets(const std::string& text);

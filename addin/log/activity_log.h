// The activity log: "QVSync.Log" in the folder the add-in library was loaded
// from, written only while troubleshooting mode is on. Each line is the local date
// and time, a TAB and the message, ended by CR LF, in the system code page. The
// file is opened, appended and closed for every line, so no handle stays open and
// another program may read or delete it at any time. Every failure is ignored:
// logging never reaches the caller. Called on the host's user-interface thread.
#ifndef QVSYNC_LOG_ACTIVITY_LOG_H
#define QVSYNC_LOG_ACTIVITY_LOG_H

#include <string>
#include <string_view>

namespace qvsync {

// Appends `message` when SyncConfig::troubleshootingMode is non-zero; otherwise
// does nothing and touches no file. `level` is accepted and not used.
void LogMessage(std::string_view message, int level = 5);

// Whether LogMessage writes anything: for the lines written once per item,
// whose text is not worth building when nobody keeps it.
bool LogEnabled();

// Appends one line unconditionally.
void AppendLogLine(std::string_view message);

// Full path of the log file: the add-in library's folder + "/QVSync.Log".
std::string LogFilePath();

// The View command: shows the log in a program of the desktop, started
// without waiting for it (the user-interface thread goes on at once). A log
// that does not exist yet is created empty first. False when no desktop
// program could be started (no desktop session): the caller tells the user
// where the log is.
bool ViewLog();

// Points the log at another file (tests); an empty path restores the default.
void SetLogFilePathForTesting(const std::string& path);

}  // namespace qvsync

#endif

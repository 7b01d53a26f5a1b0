// The activity log: "QVSync.Log" in the folder the add-in library was loaded
// from, written only while troubleshooting mode is on. Each line is the local date
// and time, a TAB and the message, ended by CR LF, in the system code page.
// Every line is written whole, in one write at the end of the file, so that
// another program reading the log sees it at once, whole. The file is opened
// for each line, or, while a LogSession lives (a command of the add-in), kept
// open; either way a log that another program deleted or replaced is made
// anew by the next line. Every failure is ignored: logging never reaches the
// caller. Called on the host's user-interface thread.
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

// Keeps the log open, once a line has been written, for as long as it lives:
// opening and closing the file for every line cost most of the log's time.
// Sessions nest; the file is closed when the outermost ends.
class LogSession {
 public:
  LogSession();
  ~LogSession();
  LogSession(const LogSession&) = delete;
  LogSession& operator=(const LogSession&) = delete;
};

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

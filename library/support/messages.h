// System messages: short notices for the server's administrators (abuse
// detections, critical audit events), kept newest first in "Messages.xml" in
// the "Messages" folder of the configuration directory. Internal to the
// library; the administration tool reads the file and may list message numbers
// it has dismissed, which are then not posted again.
//
// Also the two file helpers that the system message store shares with the
// value tables and auditing: level-by-level folder creation and atomic file
// replacement.
//
// Thread safety: every function may be called from any thread. Posting takes
// no lock of its own: two processes that post at the same moment may each
// load the file, and the later save wins (each save replaces the file whole).
#ifndef QVAISO_SUPPORT_MESSAGES_H
#define QVAISO_SUPPORT_MESSAGES_H

#include <string>
#include <string_view>

namespace pugi {
class xml_document;
}

namespace qvaiso {

// Severities of a system message, as the file names them.
inline constexpr int kSeverityInformation = 0;  // "Information"
inline constexpr int kSeverityWarning = 1;      // "Warning"
inline constexpr int kSeverityCritical = 2;     // "Critical"

// Posts one message when "System Messages Enabled" is 1: drops the oldest
// messages down to "System Messages Limit" - 1, inserts the new one first and
// saves the file. Does nothing when the number is listed as dismissed. Any
// failure (folder, load, save) makes the post a no-operation; callers are
// never told. `text`, `postoffice` and `mailbox` may be null (read as "").
void PostSystemMessage(int messageNumber, const char* text, int severity,
                       const char* postoffice, const char* mailbox);

// The two settings are read once per process; this forgets them (tests).
void ResetSystemMessageSettingsForTesting();

// Creates `path` and every missing folder above it, one level at a time.
// True when the folder exists afterwards.
bool CreateDirectoryPath(const std::string& path);

// Replaces the file at `path` with `data`: writes a temporary file in the same
// folder, flushes it to disk and renames it over the old file, so a crash
// leaves the old file or the new one, never half of one. A new file gets the
// usual permissions (0666 less the umask); a replaced file keeps its
// permission bits (and owner and group, when run as root), and a path that is a
// symbolic link is written through to its target. False on any failure, in
// which case the old file is untouched and no temporary file is left behind.
bool WriteFileAtomically(const std::string& path, std::string_view data);

// Makes every later WriteFileAtomically fail after writing `bytes` bytes of
// its temporary file, as a full disk or a crash would; a negative count
// restores normal writing (tests).
void FailAtomicWritesAfterForTesting(long bytes);

// The document as the text of a UTF-8 XML 1.0 file that a standard parser
// reads back to the same values (a CR in character data as "&#13;").
std::string XmlFileText(const pugi::xml_document& document);

// True for text that a UTF-8 XML file can hold as character data: valid UTF-8
// of characters that XML 1.0 allows (no control characters but TAB, LF, CR).
bool IsXmlText(std::string_view text);

}  // namespace qvaiso

#endif

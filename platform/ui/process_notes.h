// Process-wide notes: small named texts that every module of the process
// reads and writes alike. The host and each add-in library it loads have
// their own copy of the user-interface model (and of its globals), so what
// one module tells another (the host's --yes, a command's failure) goes
// through the process's environment block, which they share. One
// implementation per platform (process_notes_posix.cpp; on Windows the
// process environment through GetEnvironmentVariable, since each module's C
// runtime keeps its own copy of getenv's).
#ifndef QV_PLATFORM_UI_PROCESS_NOTES_H
#define QV_PLATFORM_UI_PROCESS_NOTES_H

#include <string>

namespace qv::ui {

// The note's text, "" when there is none.
std::string ReadProcessNote(const char* name);
void WriteProcessNote(const char* name, const std::string& text);
void EraseProcessNote(const char* name);

}  // namespace qv::ui

#endif

// Process-wide notes on Windows: the process's environment block, through
// GetEnvironmentVariableA and SetEnvironmentVariableA (each module's C
// runtime keeps a copy of its own for getenv). A variable holds at most
// 32,767 characters, so a longer note goes into NAME, NAME.1, NAME.2, ...
#include <windows.h>

#include "platform/ui/process_notes.h"

namespace qv::ui {
namespace {

constexpr size_t kPiece = 30000;

std::string PieceName(const char* name, size_t piece) {
  return piece == 0 ? std::string(name) : std::string(name) + "." + std::to_string(piece);
}

// The piece's text; false when there is no such variable.
bool ReadPiece(const std::string& name, std::string* text) {
  char buffer[kPiece + 1];
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
  if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
  if (length >= sizeof buffer) return false;  // none of ours
  text->assign(buffer, length);
  return true;
}

void ErasePieces(const char* name, size_t from) {
  for (size_t piece = from;; ++piece) {
    const std::string variable = PieceName(name, piece);
    if (GetEnvironmentVariableA(variable.c_str(), nullptr, 0) == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
      if (piece > 0) break;  // the first may be missing while later ones are not
      continue;
    }
    SetEnvironmentVariableA(variable.c_str(), nullptr);
  }
}

}  // namespace

std::string ReadProcessNote(const char* name) {
  std::string note, piece;
  for (size_t index = 0; ReadPiece(PieceName(name, index), &piece); ++index) {
    note += piece;
    if (piece.size() < kPiece) break;
  }
  return note;
}

void WriteProcessNote(const char* name, const std::string& text) {
  // A NUL ends a variable's text: the note ends there too.
  const std::string note = text.substr(0, text.find('\0'));
  size_t index = 0;
  for (size_t at = 0; at < note.size() || index == 0; at += kPiece, ++index) {
    SetEnvironmentVariableA(PieceName(name, index).c_str(), note.substr(at, kPiece).c_str());
  }
  // A full last piece is followed by an empty one, so that a reader knows
  // where the note ends.
  if (!note.empty() && note.size() % kPiece == 0) SetEnvironmentVariableA(PieceName(name, index++).c_str(), "");
  ErasePieces(name, index);
}

void EraseProcessNote(const char* name) { ErasePieces(name, 0); }

}  // namespace qv::ui

#include <cstdlib>

#include "platform/ui/process_notes.h"

namespace qv::ui {

std::string ReadProcessNote(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

void WriteProcessNote(const char* name, const std::string& text) { setenv(name, text.c_str(), 1); }

void EraseProcessNote(const char* name) { unsetenv(name); }

}  // namespace qv::ui

// Shell services: opening a document with the desktop's program for it,
// starting a text editor, the special folders, and where a loaded module lives.
//
// Thread safety: every function may be called from any thread; the launcher
// override is for tests and is set before use.
#ifndef QV_PLATFORM_SHELL_H
#define QV_PLATFORM_SHELL_H

#include <string>
#include <vector>

namespace qv::shell {

// Starts programs. The default runs them detached (fork + exec) and reports
// whether they ran and exited with status 0 within a short wait; tests install
// a recording launcher.
class Launcher {
 public:
  virtual ~Launcher() = default;
  // Runs `argv` (argv[0] found through PATH); true on success.
  virtual bool Run(const std::vector<std::string>& argv) = 0;
};

// Installs `launcher` (not owned) until called with nullptr.
void SetLauncherForTesting(Launcher* launcher);

// Opens `path` with the program the desktop associates with it (xdg-open).
// False when no program could open it (missing file, no association).
bool OpenDocument(const std::string& path);

// Opens a web address in the user's browser (xdg-open); false when it could
// not be handed on.
bool OpenAddress(const std::string& address);

// Opens `path` in a text editor: $VISUAL, $EDITOR, then the desktop's text
// editor. False when none could be started.
bool OpenInTextEditor(const std::string& path);

// The per-user application-data folder ($XDG_DATA_HOME, else ~/.local/share);
// "" when neither can be found.
std::string ApplicationDataFolder();

// The folder of the shared library or executable that contains `address`
// (a function or object of that module); "" when it cannot be found.
std::string ModuleFolder(const void* address);
// The full path of that module; "" when it cannot be found.
std::string ModulePath(const void* address);

// Creates one directory; true when it exists afterwards.
bool CreateFolder(const std::string& path);

}  // namespace qv::shell

#endif

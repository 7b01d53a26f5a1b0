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
  // Starts `argv` and returns at once, without waiting for it to end; true
  // when the program could be started. The program outlives the caller and
  // leaves no zombie behind. (A launcher that only runs programs runs it.)
  virtual bool Start(const std::vector<std::string>& argv) { return Run(argv); }
};

// Installs `launcher` (not owned) until called with nullptr.
void SetLauncherForTesting(Launcher* launcher);

// Opens `path` with the program the desktop associates with it (xdg-open).
// False when no program could open it (missing file, no association).
bool OpenDocument(const std::string& path);

// Opens a web address in the user's browser (xdg-open, started without
// waiting for it, since a browser may run for a long time); false when it
// could not be handed on.
bool OpenAddress(const std::string& address);

// Shows `path` in a program of the desktop and returns at once: xdg-open, or
// a graphical text editor when xdg-open is missing. False when there is no
// desktop session (no $DISPLAY or $WAYLAND_DISPLAY) or nothing could be
// started; a program in the terminal is not started, since it would fight
// the caller for the terminal.
bool ShowDocumentDetached(const std::string& path);

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

// The full path a file named `file` has in the folder of that module (with
// the platform's separator); "" when the folder cannot be found.
std::string FileBesideModule(const void* address, const std::string& file);

// Creates one directory; true when it exists afterwards.
bool CreateFolder(const std::string& path);

}  // namespace qv::shell

#endif

#include "platform/shell/shell.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace qv::shell {
namespace {

// In a child about to exec a viewer: its standard streams go to /dev/null, so
// it neither reads the host's terminal nor writes over it.
void SilenceStandardStreams() {
  int devnull = open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    if (devnull > STDERR_FILENO) close(devnull);
  }
}

// Runs a program and waits for it: xdg-open returns as soon as it has handed
// the file to the associated program, so waiting tells us whether it could.
class ProcessLauncher final : public Launcher {
 public:
  bool Run(const std::vector<std::string>& argv) override {
    if (argv.empty()) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      SilenceStandardStreams();
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  // Double fork: the intermediate child starts the program in a session of
  // its own and exits at once, so the program is adopted by init and never
  // becomes our zombie. A close-on-exec pipe tells whether exec succeeded.
  bool Start(const std::vector<std::string>& argv) override {
    if (argv.empty()) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) {
      close(report[0]);
      close(report[1]);
      return false;
    }
    if (pid == 0) {
      close(report[0]);
      setsid();
      pid_t grandchild = fork();
      if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
      SilenceStandardStreams();
      execvp(args[0], args.data());
      int error = errno;
      ssize_t ignored = write(report[1], &error, sizeof error);
      (void)ignored;
      _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    // Nothing read: the pipe closed on a successful exec.
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
  }
};

std::atomic<Launcher*> g_launcher{nullptr};

Launcher& CurrentLauncher() {
  if (Launcher* launcher = g_launcher.load()) return *launcher;
  static ProcessLauncher* process = new ProcessLauncher;  // lives for the process
  return *process;
}

}  // namespace

void SetLauncherForTesting(Launcher* launcher) { g_launcher.store(launcher); }

bool OpenDocument(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;  // nothing to open
  return CurrentLauncher().Run({"xdg-open", path});
}

bool OpenAddress(const std::string& address) {
  if (address.empty()) return false;
  return CurrentLauncher().Start({"xdg-open", address});
}

bool ShowDocumentDetached(const std::string& path) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!(x11 && *x11) && !(wayland && *wayland)) return false;
  for (const char* program : {"xdg-open", "gnome-text-editor", "gedit", "kate", "mousepad", "xed"}) {
    if (CurrentLauncher().Start({program, path})) return true;
  }
  return false;
}

bool OpenInTextEditor(const std::string& path) {
  for (const char* variable : {"VISUAL", "EDITOR"}) {
    const char* editor = std::getenv(variable);
    if (editor && *editor && CurrentLauncher().Run({editor, path})) return true;
  }
  for (const char* editor : {"gnome-text-editor", "gedit", "kate", "mousepad", "xed", "nano", "vi"}) {
    if (CurrentLauncher().Run({editor, path})) return true;
  }
  return false;
}

std::string ApplicationDataFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') return data;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share";
  return "";
}

std::string ModulePath(const void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

std::string ModuleFolder(const void* address) {
  std::string path = ModulePath(address);
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileBesideModule(const void* address, const std::string& file) {
  const std::string folder = ModuleFolder(address);
  if (folder.empty()) return "";
  return folder.back() == '/' ? folder + file : folder + '/' + file;
}

bool CreateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat info;
  return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace qv::shell

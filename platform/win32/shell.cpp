// Shell services on Windows: ShellExecute for documents and addresses, the
// shell's folders, module paths through the loader, CreateProcess for an editor.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>

#include "platform/shell/shell.h"

namespace qv::shell {
namespace {

// Quotes one argument as the C runtime's command-line parser reads it back.
std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// Runs a program (found through PATH) and waits for it.
class ProcessLauncher final : public Launcher {
 public:
  bool Run(const std::vector<std::string>& argv) override {
    if (argv.empty()) return false;
    std::string commandLine;
    for (const std::string& a : argv) {
      if (!commandLine.empty()) commandLine += ' ';
      commandLine += QuoteArgument(a);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
      return false;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code == 0;
  }
};

std::atomic<Launcher*> g_launcher{nullptr};

// ShellExecute hands the target to its associated program; a result above 32
// means it could.
bool ShellOpen(const std::string& target) {
  if (Launcher* launcher = g_launcher.load()) return launcher->Run({"open", target});
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

}  // namespace

void SetLauncherForTesting(Launcher* launcher) { g_launcher.store(launcher); }

bool OpenDocument(const std::string& path) {
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;  // nothing to open
  return ShellOpen(path);
}

bool OpenAddress(const std::string& address) {
  if (address.empty()) return false;
  return ShellOpen(address);
}

// Windows always has a desktop, and ShellExecute returns without waiting for
// the program it starts.
bool ShowDocumentDetached(const std::string& path) { return OpenDocument(path); }

bool OpenInTextEditor(const std::string& path) {
  static ProcessLauncher process;
  Launcher* launcher = g_launcher.load();
  return (launcher ? *launcher : static_cast<Launcher&>(process)).Run({"notepad.exe", path});
}

std::string ApplicationDataFolder() {
  char path[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return "";
  return path;
}

std::string ModulePath(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module)) {
    return "";
  }
  std::string path(MAX_PATH, '\0');
  while (true) {
    const DWORD length = GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);  // truncated: try a longer buffer
  }
}

std::string ModuleFolder(const void* address) {
  std::string path = ModulePath(address);
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return "";
  return path.substr(0, slash);
}

std::string FileBesideModule(const void* address, const std::string& file) {
  const std::string folder = ModuleFolder(address);
  if (folder.empty()) return "";
  return folder.back() == '\\' ? folder + file : folder + '\\' + file;
}

bool CreateFolder(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace qv::shell

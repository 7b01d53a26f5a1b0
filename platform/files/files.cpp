#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace qv::files {

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
    if (length <= 0) return current;
    std::string next(target, static_cast<size_t>(length));
    if (next[0] != '/') {
      const size_t slash = current.rfind('/');
      if (slash != std::string::npos) next = current.substr(0, slash + 1) + next;
    }
    current = std::move(next);
  }
  return path;  // a loop: let the write fail on the path as given
}

int ReplaceFile(const std::string& path, std::string_view data, mode_t newFileMode) {
  if (path.empty()) return ENOENT;
  const std::string target = ResolveLinks(path);
  struct stat link {};
  if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) return ELOOP;  // never replace a link
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;
  if (existed && !S_ISREG(old.st_mode)) return S_ISDIR(old.st_mode) ? EISDIR : EINVAL;

  static std::atomic<unsigned> sequence{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(sequence++);
    // O_EXCL: never write into a file someone else is writing. A replacement
    // is owner-only until the old file's mode is set; a new file takes
    // `newFileMode` less the umask, as any created file.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, existed ? 0600 : newFileMode);
    if (fd < 0 && errno != EEXIST) return errno;
  }
  if (fd < 0) return EEXIST;

  int error = 0;
  const char* next = data.data();
  size_t left = data.size();
  while (error == 0 && left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      break;
    }
    next += written;
    left -= static_cast<size_t>(written);
  }
  if (error == 0 && existed) {
    // The owner first: changing it clears set-id bits, which the mode restores.
    if (::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) error = errno;
    if (error == 0 && ::fchmod(fd, old.st_mode & 07777) != 0) error = errno;
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

}  // namespace qv::files

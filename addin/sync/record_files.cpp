#include "addin/sync/record_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace qvsync::records {

namespace {

long budget = -1;  // bytes record writes may still write; -1 no limit

// Takes `size` bytes from the budget; false (ENOSPC) when it has run out.
bool Spend(size_t size) {
  if (budget < 0) return true;
  if (static_cast<size_t>(budget) < size) {
    budget = 0;
    errno = ENOSPC;
    return false;
  }
  budget -= static_cast<long>(size);
  return true;
}

// Closes `fd` after a write that went `ok`, flushed to the disk first when `sync`.
bool Finish(int fd, bool ok, bool sync = true) {
  const int saved = errno;
  if (sync) ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok && errno == 0) errno = saved;
  return ok;
}

// Writes every byte, past the budget.
bool WriteFully(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) { return Spend(bytes.size()) && WriteFully(fd, bytes); }

bool Append(const std::string& path, std::string_view bytes) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // In the system's hands once written: a killed process loses none of it.
  return Finish(fd, WriteAll(fd, bytes), /*sync=*/false);
}

bool Replace(const std::string& path, std::string_view bytes) {
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  std::random_device random;
  const std::string temporary = path + ".tmp" + std::to_string(random() % 1000000);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (!Finish(fd, WriteAll(fd, bytes)) || std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temporary.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool FolderTakesRecords(const std::string& folder, size_t bytes) {
  // The real folder (the testing budget stands for the run's own writes).
  const std::string probe = folder + "/_probe.tmp";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = Finish(fd, WriteFully(fd, std::string(bytes, '\0')));
  const int saved = errno;
  ::unlink(probe.c_str());
  errno = saved;
  return ok;
}

void SetWriteBudgetForTesting(long bytes) { budget = bytes < 0 ? -1 : bytes; }

}  // namespace qvsync::records

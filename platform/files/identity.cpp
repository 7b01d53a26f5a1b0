#include <sys/stat.h>

#include "platform/files/files.h"

namespace qv::files {

std::string FileIdentity(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return "";
  return std::to_string(static_cast<unsigned long long>(info.st_dev)) + ' ' +
         std::to_string(static_cast<unsigned long long>(info.st_ino)) + ' ' +
         std::to_string(static_cast<long long>(info.st_size)) + ' ' +
         std::to_string(static_cast<long long>(info.st_mtim.tv_sec)) + ' ' +
         std::to_string(static_cast<long long>(info.st_mtim.tv_nsec));
}

}  // namespace qv::files

// A file's identity on Win32: the volume's serial number, the file index
// (the C runtime's st_ino is always 0 here), the size and the last write
// time in 100-nanosecond units.
#include <windows.h>

#include "platform/files/files.h"

namespace qv::files {

std::string FileIdentity(const std::string& path) {
  if (path.empty()) return "";
  HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return "";
  auto join = [](DWORD high, DWORD low) {
    return std::to_string((static_cast<unsigned long long>(high) << 32) | low);
  };
  return std::to_string(info.dwVolumeSerialNumber) + ' ' + join(info.nFileIndexHigh, info.nFileIndexLow) + ' ' +
         join(info.nFileSizeHigh, info.nFileSizeLow) + ' ' +
         join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
}

}  // namespace qv::files

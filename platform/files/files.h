// Whole-file replacement that a reader never sees half-done: the new content
// is written to a temporary file beside the target and renamed over it.
//
// The replaced file keeps what an administrator set on it: its permission
// bits, and its owner and group when the process may set them (as root). A
// path that is a symbolic link is written through: the file it points to is
// replaced and the link stays a link.
//
// Thread-safe; several processes may replace one file at once (the last
// rename wins, each content whole).
#ifndef QV_PLATFORM_FILES_H
#define QV_PLATFORM_FILES_H

#include <sys/types.h>

#include <string>
#include <string_view>

namespace qv::files {

// The file a path names after following symbolic links (relative link targets
// are taken from the link's folder; a dangling link gives the path of the
// file it would point to). The path itself when it is no link, or when the
// links loop or nest deeper than 40.
std::string ResolveLinks(const std::string& path);

// Replaces the file at `path` (through links) with `data`. A file that did
// not exist is created with `newFileMode` (less the process's umask). Links
// that loop fail with ELOOP; a link itself is never replaced. Returns 0, or
// the errno of the failure; on failure the old file is as it was and no
// temporary file is left.
int ReplaceFile(const std::string& path, std::string_view data, mode_t newFileMode = 0666);

// Text that changes whenever the file at `path` is replaced or written: its
// device, file number, size and modification time (to the nanosecond where
// the system keeps it). "" when the file cannot be examined.
std::string FileIdentity(const std::string& path);

}  // namespace qv::files

#endif

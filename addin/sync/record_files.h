// The writes of the engine's records (the conversion table and its journal,
// the batch file): every one is checked, since a run that cannot keep its
// records must stop before it changes anything the records would have to
// remember. Tests make the disk "fill up" after a number of bytes.
//
// Runs on the host's user-interface thread.
#ifndef QVSYNC_SYNC_RECORD_FILES_H
#define QVSYNC_SYNC_RECORD_FILES_H

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qvsync::records {

// Writes all of `bytes` to the open descriptor. False (errno set) when the
// system refused any of it, or the testing budget ran out.
bool WriteAll(int fd, std::string_view bytes);

// Appends `bytes` to the file at `path` (created when missing); once it
// returns they are the system's (a killed process loses none of them). False
// (errno set) on any failure.
bool Append(const std::string& path, std::string_view bytes);

// Replaces the file at `path` whole: a temporary file in the same folder,
// flushed to the disk, renamed over it. False (errno set, the old file whole)
// on any failure.
bool Replace(const std::string& path, std::string_view bytes);

// Whether a folder can take records now: a probe of `bytes` bytes is
// written, flushed and removed. False (errno set) when it cannot.
bool FolderTakesRecords(const std::string& folder, size_t bytes);

// Tests: every record write fails with ENOSPC once `bytes` more bytes have
// been written (as a disk that fills up during a run; the probe of
// FolderTakesRecords still asks the real folder); a negative value ends that.
void SetWriteBudgetForTesting(long bytes);

// Thrown inside a folder run when a record cannot be written: the run stops
// before the change the record was for.
class RecordsLost : public std::runtime_error {
 public:
  explicit RecordsLost(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace qvsync::records

#endif

// Helpers shared by the benchmarks: a scratch folder and the calling thread's
// CPU time (header only: the benchmarks build without the test support).
#ifndef QV_BENCH_SUPPORT_H
#define QV_BENCH_SUPPORT_H

#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace qv::bench {

// A folder of its own under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// CPU seconds the calling thread has used (what a host pays, apart from its
// servers' threads).
inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace qv::bench

#endif

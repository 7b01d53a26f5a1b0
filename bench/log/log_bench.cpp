// The activity log's cost. An unchanged synchronisation of N contacts
// (4,000 in an optimised build, QV_LOG_BENCH_ITEMS to choose, 200 otherwise)
// between the emulated Outlook and the servlet emulator on loopback, with
// the host's CPU time per item:
//
//   off        troubleshooting off: nothing is logged
//   per_line   troubleshooting on, the file opened and closed for every line
//              (how every line was written before; still so outside a command)
//   kept_open  troubleshooting on, the log kept open for the run (LogSession,
//              as every menu command of the add-in runs)
//
// and one LogMessage line either way. The log is where the add-in keeps it,
// beside the binary that holds the add-in's code (this benchmark), and is
// removed at the end. The servlet emulator serves on threads of its own,
// which are not counted.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "addin/config/sync_config.h"
#include "bench/common/bench_support.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "addin/sync/synchronize.h"
#include "platform/outlook/outlook.h"
#include "platform/ui/progress.h"
#include "platform/ui/ui.h"
#include "tools/qvservlet/servlet.h"

namespace {

using qv::outlook::Variant;

long Items() {
  if (const char* text = std::getenv("QV_LOG_BENCH_ITEMS"); text && std::atol(text) > 0) return std::atol(text);
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
  return 4000;
#else
  return 200;
#endif
}

// N contacts synchronised once, ready for unchanged runs.
class World {
 public:
  explicit World(long contacts) : contacts_(contacts) {
    servlet_.AddUser("ann", "secret");
    servlet_.SetRequestLogLimits(16, 1 << 20);  // only counted, not kept
    if (!servlet_.Start()) std::fprintf(stderr, "log_bench: cannot listen on loopback\n");
    qvsync::SyncConfig& config = qvsync::Config();
    config = qvsync::SyncConfig{};
    config.host = servlet_.host();
    config.username = "ann";
    config.password = "secret";
    config.dataDirectory = scratch_.File("data");
    std::filesystem::create_directory(config.dataDirectory);
    config.contactSyncMode = 1;
    config.batchMode = 1;
    profile_ = qv::outlook::Profile::Open(scratch_.File("profile.db"));
    application_ = qv::outlook::StartOutlook(profile_, qv::outlook::StartMode::Interactive);
    qvsync::AddinState().outlookApplication = application_;
    qvsync::AddinState().mapiNamespace = application_.call("GetNamespace", "MAPI");
    qvsync::CheckSpecialFolders();
    for (long i = 0; i < contacts; ++i) {
      const std::string n = std::to_string(i);
      qv::outlook::AddItem(qvsync::AddinState().contactsFolder, {{"FullName", "First" + n + " Last" + n},
                                                                 {"Email1Address", "person" + n + "@example.com"},
                                                                 {"CompanyName", "Quorvia"}});
    }
    Run();  // the first run ties every contact
  }
  ~World() {
    qvsync::AddinState() = qvsync::AddinStateRecord{};
    servlet_.Stop();
    std::remove(qvsync::LogFilePath().c_str());
    qvsync::Config() = qvsync::SyncConfig{};
    qvsync::loggedIn = false;
  }

  // One run's host CPU time in microseconds per contact.
  double Run() {
    qvsync::ClearCookieStore();
    qvsync::loggedIn = false;
    const double before = qv::bench::ThreadCpuSeconds();
    qvsync::modSynchronize::SynchronizeAll();
    return (qv::bench::ThreadCpuSeconds() - before) * 1e6 / static_cast<double>(contacts_);
  }
  uintmax_t LogBytes() const {
    std::error_code ignored;
    return std::filesystem::file_size(qvsync::LogFilePath(), ignored);
  }

 private:
  long contacts_;
  qv::bench::ScratchFolder scratch_{"qvsync-log-bench"};
  qv::servlet::Servlet servlet_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant application_;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installedUi_{&ui_};
  qv::ui::ScriptedProgress progress_;
  qv::ui::ScopedProgressFrontEnd installedProgress_{&progress_};
};

enum Mode { kOff, kPerLine, kKeptOpen };
const char* const kModeNames[] = {"off", "per_line", "kept_open"};

void BM_UnchangedRun(benchmark::State& state) {
  const Mode mode = static_cast<Mode>(state.range(0));
  const long contacts = Items();
  World world(contacts);
  qvsync::Config().troubleshootingMode = mode == kOff ? 0 : 1;
  double cpu = 0;
  int runs = 0;
  for (auto _ : state) {
    const uintmax_t logged = world.LogBytes();
    if (mode == kKeptOpen) {
      qvsync::LogSession session;
      cpu += world.Run();
    } else {
      cpu += world.Run();
    }
    ++runs;
    if (mode != kOff && world.LogBytes() == logged) state.SkipWithError("nothing was logged");
  }
  const double perItem = cpu / runs;
  state.counters["us_per_item"] = perItem;
  state.counters["items"] = static_cast<double>(contacts);
  std::printf("unchanged run, %ld contacts, log %-9s  %8.1f us of host CPU per item\n", contacts,
              kModeNames[mode], perItem);
  std::fflush(stdout);
}
BENCHMARK(BM_UnchangedRun)->ArgName("log")->Arg(kOff)->Arg(kPerLine)->Arg(kKeptOpen)->Iterations(3)->Unit(
    benchmark::kMillisecond);

void BM_LogLine(benchmark::State& state) {
  qvsync::Config().troubleshootingMode = 1;
  const std::string message = "Validating Object: First1234 Last1234 [person1234@example.com]";
  {
    std::unique_ptr<qvsync::LogSession> session;
    if (state.range(0) == kKeptOpen) session = std::make_unique<qvsync::LogSession>();
    for (auto _ : state) qvsync::LogMessage(message, 5);
  }
  qvsync::Config() = qvsync::SyncConfig{};
  std::remove(qvsync::LogFilePath().c_str());
}
BENCHMARK(BM_LogLine)->ArgName("log")->Arg(kPerLine)->Arg(kKeptOpen);

}  // namespace

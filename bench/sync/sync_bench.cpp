// Synchronisation at real volumes: contacts, appointments and tasks in the
// ratio 10 : 5 : 2 (17,000 items at full size) between the emulated Outlook
// and the servlet emulator on loopback, in batch and in direct mode. Each
// benchmark is one sequence of runs:
//
//   o2s        first run, full Outlook to an empty mailbox
//   unchanged  the same again with nothing changed
//   changed    1% of the items changed on each side
//   s2o        first run, full mailbox to an empty Outlook (fresh profile)
//
// and prints, per run, wall time, the host's CPU time (the thread that runs
// the add-in and the emulated Outlook; the servlet emulator serves on threads
// of its own and is not counted), HTTP requests sent and microseconds of host
// CPU per item. The sizes: QV_SYNC_BENCH_ITEMS (a comma-separated list of
// totals) or 1,000 and 17,000 in an optimised build, 170 otherwise (the test
// suite runs every benchmark once as a smoke test). To profile the unchanged
// run, QV_SYNC_BENCH_UNCHANGED_REPEATS=N repeats it N more times unreported.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "addin/config/sync_config.h"
#include "bench/common/bench_support.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/progress.h"
#include "addin/sync/synchronize.h"
#include "platform/outlook/outlook.h"
#include "platform/ui/progress.h"
#include "platform/ui/terminal_progress.h"
#include "platform/ui/ui.h"
#include "tools/qvservlet/servlet.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_SYNC_BENCH_SMALL 1
#endif
#endif
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
#define QV_SYNC_BENCH_SMALL 1
#endif

namespace {

using qv::outlook::Variant;

constexpr const char* kUser = "ann";
constexpr const char* kPassword = "secret";

std::vector<long> Sizes() {
  std::vector<long> sizes;
  if (const char* text = std::getenv("QV_SYNC_BENCH_ITEMS")) {
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
      if (long n = std::atol(part.c_str()); n >= 17) sizes.push_back(n);
  }
  if (!sizes.empty()) return sizes;
#ifdef QV_SYNC_BENCH_SMALL
  return {170};
#else
  return {1000, 17000};
#endif
}

struct Mix {
  long contacts, appointments, tasks;
  long total() const { return contacts + appointments + tasks; }
};
Mix MixOf(long total) { return {total * 10 / 17, total * 5 / 17, total - total * 10 / 17 - total * 5 / 17}; }

// One measured run.
struct Figures {
  const char* name;
  double wall = 0, cpu = 0;
  uint64_t requests = 0;
  long items = 0;
};

// The add-in's world: profile, Outlook, servlet, configuration, front ends.
class World {
 public:
  explicit World(bool batch) {
    servlet_.AddUser(kUser, kPassword);
    servlet_.SetRequestLogLimits(16, 1 << 20);  // only counted, not kept
    if (!servlet_.Start()) std::fprintf(stderr, "sync_bench: cannot listen on loopback\n");
    qvsync::SetLogFilePathForTesting(scratch_.File("QVSync.Log"));
    qvsync::SyncConfig& config = qvsync::Config();
    config = qvsync::SyncConfig{};
    config.host = servlet_.host();
    config.username = kUser;
    config.password = kPassword;
    config.dataDirectory = scratch_.File("data");
    std::filesystem::create_directory(config.dataDirectory);
    config.troubleshootingMode = 0;
    config.taskSyncMode = config.calendarSyncMode = config.contactSyncMode = 1;
    config.batchMode = batch ? 1 : 0;
    config.restrictValue = 14;
    OpenProfile("profile.db");
    progress_.SetLive(true);
  }
  ~World() {
    qvsync::CloseSyncProgress();
    std::fclose(nowhere_);
    qvsync::modBatch::ResetBatch();
    qvsync::AddinState() = qvsync::AddinStateRecord{};
    servlet_.Stop();
    qvsync::SetLogFilePathForTesting("");
    qvsync::Config() = qvsync::SyncConfig{};
    qvsync::loggedIn = false;
  }

  void OpenProfile(const std::string& name) {
    qvsync::AddinState() = qvsync::AddinStateRecord{};
    application_ = Variant();
    profile_ = qv::outlook::Profile::Open(scratch_.File(name));
    profile_->SetWrapperLibraryInstalled(true);
    profile_->SetClock([this] { return qv::outlook::AddSeconds(qv::outlook::LocalNow(), lead_); });
    application_ = qv::outlook::StartOutlook(profile_, qv::outlook::StartMode::Interactive);
    qvsync::AddinState().outlookApplication = application_;
    qvsync::AddinState().mapiNamespace = application_.call("GetNamespace", "MAPI");
    qvsync::CheckSpecialFolders();
  }
  // A fresh Outlook and no tables: a first run.
  void Fresh(const std::string& name) {
    std::filesystem::remove_all(qvsync::Config().dataDirectory);
    std::filesystem::create_directory(qvsync::Config().dataDirectory);
    OpenProfile(name);
  }

  Variant Folder(int which) const {
    const qvsync::AddinStateRecord& state = qvsync::AddinState();
    return which == 0 ? state.contactsFolder : which == 1 ? state.calendarFolder : state.tasksFolder;
  }

  void FillOutlook(const Mix& mix) {
    for (long i = 0; i < mix.contacts; ++i) {
      const std::string n = std::to_string(i);
      qv::outlook::AddItem(Folder(0), {{"FullName", "First" + n + " Last" + n},
                                       {"Email1Address", "person" + n + "@example.com"},
                                       {"CompanyName", "Quorvia"},
                                       {"BusinessTelephoneNumber", "+1 555 0100"}});
    }
    for (long i = 0; i < mix.appointments; ++i) {
      const std::string n = std::to_string(i);
      qv::outlook::AddItem(Folder(1), {{"Subject", "Meeting " + n},
                                       {"Start", "2026-12-10 10:00"},
                                       {"End", "2026-12-10 11:00"},
                                       {"Location", "Room " + n}});
    }
    for (long i = 0; i < mix.tasks; ++i)
      qv::outlook::AddItem(Folder(2), {{"Subject", "Task " + std::to_string(i)}});
  }

  void FillServer(const Mix& mix) {
    for (long i = 0; i < mix.contacts; ++i) {
      const std::string n = std::to_string(i);
      servlet_.AddItem(kUser, "CONTACT",
                       {{"FirstName", "First" + n}, {"LastName", "Last" + n}, {"FullName", "First" + n + " Last" + n},
                        {"EMail", "person" + n + "@example.com"}});
    }
    for (long i = 0; i < mix.appointments; ++i)
      servlet_.AddItem(kUser, "APPOINTMENT",
                       {{"StartTime", "2026-12-09-09-00"}, {"FinishTime", "2026-12-09-09-30"},
                        {"Description", "Meeting " + std::to_string(i)}, {"AllDayEvent", "0"}});
    for (long i = 0; i < mix.tasks; ++i)
      servlet_.AddItem(kUser, "TASK", {{"Subject", "Task " + std::to_string(i)}, {"Importance", "1"}});
  }

  // Changes every hundredth item on each side.
  void ChangeOnePercent() {
    lead_ += 10;  // later than every table written so far
    for (int which = 0; which < 3; ++which) {
      const auto items = qv::outlook::ListItems(Folder(which));
      for (size_t i = 0; i < items.size(); i += 100) {
        Variant item = qv::outlook::OpenItem(application_, items[i].entryId);
        item.put("Body", Variant(std::string("changed")));
        item.call("Save");
      }
    }
    for (const char* cls : {"CONTACT", "APPOINTMENT", "TASK"}) {
      const auto items = servlet_.ListItems(kUser, cls);
      for (size_t i = 50; i < items.size(); i += 100) {
        qv::servlet::FormFields fields = items[i].fields;
        fields.push_back({"Body", "changed on the server"});
        servlet_.ChangeItem(kUser, items[i].uid, fields);
      }
    }
  }

  Figures Run(const char* name, long items) {
    qvsync::ClearCookieStore();
    qvsync::loggedIn = false;
    const uint64_t before = servlet_.Requests().size() + servlet_.DroppedRequests();
    const double cpu = qv::bench::ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    qvsync::modSynchronize::SynchronizeAll();
    Figures figures{name};
    figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpu = qv::bench::ThreadCpuSeconds() - cpu;
    figures.requests = servlet_.Requests().size() + servlet_.DroppedRequests() - before;
    figures.items = items;
    return figures;
  }

  size_t ServerCount() {
    return servlet_.ListItems(kUser, "CONTACT").size() + servlet_.ListItems(kUser, "APPOINTMENT").size() +
           servlet_.ListItems(kUser, "TASK").size();
  }
  size_t OutlookCount() const {
    size_t n = 0;
    for (int which = 0; which < 3; ++which) n += qv::outlook::ListItems(Folder(which)).size();
    return n;
  }
  void ClearServer() {
    for (const char* cls : {"CONTACT", "APPOINTMENT", "TASK"})
      for (const auto& item : servlet_.ListItems(kUser, cls)) servlet_.DeleteItem(kUser, item.uid);
  }

 private:
  qv::bench::ScratchFolder scratch_{"qvsync-bench"};
  qv::servlet::Servlet servlet_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant application_;
  double lead_ = 0;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installedUi_{&ui_};
  // The progress bar a person at a terminal sees, drawn where nobody looks.
  std::FILE* nowhere_ = std::fopen("/dev/null", "w");
  qv::ui::TerminalProgress progress_{nullptr, nowhere_};
  qv::ui::ScopedProgressFrontEnd installedProgress_{&progress_};
};

void Report(benchmark::State& state, const Figures& f) {
  std::printf("%-9s %-6s %6ld items  wall %8.3f s  cpu %8.3f s  %6llu requests  %8.1f us/item\n",
              state.range(0) ? "batch" : "direct", f.name, f.items, f.wall, f.cpu,
              static_cast<unsigned long long>(f.requests), f.cpu * 1e6 / static_cast<double>(f.items));
  const std::string prefix = f.name;
  state.counters[prefix + "_cpu_s"] = f.cpu;
  state.counters[prefix + "_requests"] = static_cast<double>(f.requests);
  state.counters[prefix + "_us_per_item"] = f.cpu * 1e6 / static_cast<double>(f.items);
}

void BM_Sync(benchmark::State& state) {
  const bool batch = state.range(0) != 0;
  const Mix mix = MixOf(state.range(1));
  for (auto _ : state) {
    World world(batch);
    world.FillOutlook(mix);
    const Figures o2s = world.Run("o2s", mix.total());
    if (world.ServerCount() != static_cast<size_t>(mix.total())) state.SkipWithError("o2s: not every item arrived");
    Report(state, o2s);
    Report(state, world.Run("unchanged", mix.total()));
    // For a profile of the unchanged run: QV_SYNC_BENCH_UNCHANGED_REPEATS more of them.
    if (const char* repeats = std::getenv("QV_SYNC_BENCH_UNCHANGED_REPEATS"))
      for (long n = std::atol(repeats); n > 0; --n) world.Run("unchanged", mix.total());
    world.ChangeOnePercent();
    Report(state, world.Run("changed", mix.total()));

    world.Fresh("profile2.db");
    world.ClearServer();
    world.FillServer(mix);
    const Figures s2o = world.Run("s2o", mix.total());
    if (world.OutlookCount() != static_cast<size_t>(mix.total())) state.SkipWithError("s2o: not every item arrived");
    Report(state, s2o);
    std::fflush(stdout);
  }
}

void Arguments(benchmark::internal::Benchmark* bench) {
  for (long size : Sizes()) {
    bench->Args({1, size});
    bench->Args({0, size});
  }
}
BENCHMARK(BM_Sync)->ArgNames({"batch", "items"})->Apply(Arguments)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

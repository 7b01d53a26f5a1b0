// Creating, sorting and walking large folders of the emulated Outlook.
// Walking a sorted collection by Item(i) must stay linear: the complexity
// reports should read O(N) with a small RMS (the sort itself is N log N).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/outlook/outlook.h"

namespace {

using namespace qv::outlook;

std::string TempProfilePath(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/qv-outlook-bench-" +
         std::to_string(getpid()) + "-" + name + ".db";
}

void RemoveProfile(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

// Adds `count` saved tasks.
void FillTasks(const Variant& folder, int count) {
  const Variant items = folder.get("Items");
  for (int i = 0; i < count; ++i) {
    Variant task = items.call("Add");
    task.put("Subject", "Task " + std::to_string(i));
    task.put("Importance", i % 3);
    task.put("DueDate", MakeDate(2013, 1, 1 + i % 28));
    task.call("Save");
  }
}

void BM_CreateItems(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    const std::string path = TempProfilePath("create");
    RemoveProfile(path);
    auto profile = Profile::Open(path);
    const Variant folder = StartOutlook(profile).call("GetNamespace", "MAPI").call("GetDefaultFolder", 13);
    state.ResumeTiming();
    FillTasks(folder, count);
    state.PauseTiming();
    profile.reset();
    RemoveProfile(path);
    state.ResumeTiming();
  }
  state.counters["items_per_second"] =
      benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CreateItems)->Arg(20000)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// One profile per size and clock, filled once and removed at exit. With the
// scattering clock the modification times jump around, so that sorting has
// work to do and the walk visits memory out of order; with the steady clock
// the sorted order is the creation order.
struct WalkFixture {
  std::string path;
  std::shared_ptr<Profile> profile;
  Variant folder;
  ~WalkFixture() {
    folder = Variant();
    profile.reset();
    RemoveProfile(path);
  }
};

Variant TasksFolder(int count, bool scattered = true) {
  static std::map<std::pair<int, bool>, WalkFixture> cache;
  WalkFixture& fixture = cache[{count, scattered}];
  if (fixture.profile) return fixture.folder;
  fixture.path = TempProfilePath("walk-" + std::to_string(count) + (scattered ? "s" : ""));
  RemoveProfile(fixture.path);
  fixture.profile = Profile::Open(fixture.path);
  unsigned seed = 12345;
  fixture.profile->SetClock([&seed, scattered] {
    seed = scattered ? seed * 1103515245u + 12345u : seed + 1;
    return AddSeconds(MakeDate(2013, 1, 1), static_cast<double>(seed % 10000000u));
  });
  fixture.folder =
      StartOutlook(fixture.profile).call("GetNamespace", "MAPI").call("GetDefaultFolder", 13);
  FillTasks(fixture.folder, count);
  fixture.profile->SetClock(nullptr);
  return fixture.folder;
}

void BM_SortAndWalk(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Variant folder = TasksFolder(count);
  for (auto _ : state) {
    const Variant items = folder.get("Items");
    items.call("Sort", "[LastModificationTime]", true);
    const int n = items.get("Count").ToLong();
    double previous = 1e300;
    for (int i = 1; i <= n; ++i) {
      const Variant item = items.call("Item", i);
      const double modified = item.get("LastModificationTime").ToDate().serial;
      if (modified > previous) state.SkipWithError("not sorted newest first");
      previous = modified;
      benchmark::DoNotOptimize(item.get("Subject"));
    }
  }
  state.SetComplexityN(count);
  state.counters["items_per_second"] =
      benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SortAndWalk)->Arg(5000)->Arg(10000)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Complexity(benchmark::oN);

// The walk alone over a collection sorted once: the cost per item must not
// grow with the folder (no re-sort, no search per Item(i)).
void BM_WalkSorted(benchmark::State& state, bool scattered) {
  const int count = static_cast<int>(state.range(0));
  const Variant items = TasksFolder(count, scattered).get("Items");
  items.call("Sort", "[LastModificationTime]", true);
  for (auto _ : state) {
    for (int i = 1; i <= count; ++i) benchmark::DoNotOptimize(items.call("Item", i).get("Subject"));
  }
  state.SetComplexityN(count);
  state.counters["items_per_second"] =
      benchmark::Counter(static_cast<double>(count) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_WalkSorted, creation_order, false)->Arg(5000)->Arg(10000)->Arg(20000)
    ->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);
BENCHMARK_CAPTURE(BM_WalkSorted, scattered, true)->Arg(5000)->Arg(10000)->Arg(20000)
    ->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

}  // namespace

// AbuseRegister_AddEntry and AbuseRegister_FindEntryByIPAddress from 1, 2 and
// 8 threads over 10,000 distinct addresses; items_per_second counts both calls.
// The register runs on a private registry hive with detection on.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "library/abuse/abuse.h"
#include "library/abuse/abuse_internal.h"
#include "platform/registry/registry.h"

namespace {

constexpr int kAddresses = 10000;

const std::vector<std::string>& Addresses() {
  static const std::vector<std::string> addresses = [] {
    std::vector<std::string> list;
    for (int i = 0; i < kAddresses; ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "10.%d.%d.%d", i / 65536, i / 256 % 256, i % 256);
      list.emplace_back(text);
    }
    return list;
  }();
  return addresses;
}

// Points HKLM at a fresh hive with the register switched on (once per process).
void PrepareRegistry() {
  static std::once_flag once;
  std::call_once(once, [] {
    static char folder[] = "/tmp/qvbench-abuse-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(folder); });
    setenv("QUORVIA_HKLM", (std::string(folder) + "/hklm.db").c_str(), 1);
    qv::registry::Key key;
    if (qv::registry::Key::Create(qv::registry::Hive::LocalMachine,
                                  "SOFTWARE\\Quorvia\\Quorvia\\Security", &key) !=
        qv::registry::Status::Ok) {
      std::abort();
    }
    key.SetDword("Abuse Detection Status", 1);
    key.SetDword("Abuse Instance Threshold", 10);
  });
}

void BM_AddAndFind(benchmark::State& state) {
  if (state.thread_index() == 0) {
    PrepareRegistry();
    qvaiso::abuse::ResetAbuseRegisterForTesting();
  }
  const std::vector<std::string>& addresses = Addresses();
  int next = static_cast<int>(state.thread_index()) * (kAddresses / 8);
  for (auto _ : state) {
    const char* address = addresses[next].c_str();
    benchmark::DoNotOptimize(AbuseRegister_AddEntry(address, "bench"));
    benchmark::DoNotOptimize(AbuseRegister_FindEntryByIPAddress(address));
    if (++next == kAddresses) next = 0;
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_AddAndFind)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

// The lookup alone, which takes only the register's lock.
void BM_Find(benchmark::State& state) {
  if (state.thread_index() == 0) {
    PrepareRegistry();
    qvaiso::abuse::ResetAbuseRegisterForTesting();
    for (int i = 0; i < 200; ++i) AbuseRegister_AddEntry(Addresses()[i].c_str(), nullptr);
  }
  const std::vector<std::string>& addresses = Addresses();
  int next = static_cast<int>(state.thread_index()) * (kAddresses / 8);
  for (auto _ : state) {
    benchmark::DoNotOptimize(AbuseRegister_FindEntryByIPAddress(addresses[next].c_str()));
    if (++next == kAddresses) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Find)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace

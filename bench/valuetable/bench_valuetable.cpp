// A value table of 10,000 rows (three properties each): open, walk with a
// property read per row, search by property value, and save. The search is
// also run over 1,000 to 10,000 rows to show that it grows linearly.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "library/valuetable/valuetable.h"

namespace {

// A temporary folder, removed at exit.
std::string Folder() {
  static char path[] = "/tmp/qvbench-valuetable-XXXXXX";
  static const bool made = [] {
    if (mkdtemp(path) == nullptr) std::abort();
    std::atexit([] { std::filesystem::remove_all(path); });
    return true;
  }();
  (void)made;
  return path;
}

// A saved table of `rows` rows, built once per size.
const std::string& TableFile(int rows) {
  static std::map<int, std::string> files;
  auto found = files.find(rows);
  if (found != files.end()) return found->second;
  std::string path = Folder() + "/table-" + std::to_string(rows) + ".xml";
  ValueTableHandle* table = nullptr;
  if (ValueTable_OpenFile(path.c_str(), &table) != 1) std::abort();
  for (int row = 0; row < rows; ++row) {
    std::string id = std::to_string(row);
    ValueTable_AddRow(table);
    ValueTable_SetProperty("ID", id.c_str(), 0, table);
    ValueTable_SetProperty("NAME", ("user" + id + "@example.com").c_str(), 0, table);
    ValueTable_SetProperty("QUOTA", "1048576", 0, table);
  }
  if (ValueTable_Save(table) != 1) std::abort();
  ValueTable_Free(table);
  return files.emplace(rows, path).first->second;
}

void BM_Open(benchmark::State& state) {
  const std::string& path = TableFile(10000);
  for (auto _ : state) {
    ValueTableHandle* table = nullptr;
    benchmark::DoNotOptimize(ValueTable_OpenFile(path.c_str(), &table));
    ValueTable_Free(table);
  }
}
BENCHMARK(BM_Open)->Unit(benchmark::kMillisecond);

void BM_Walk(benchmark::State& state) {
  ValueTableHandle* table = nullptr;
  ValueTable_OpenFile(TableFile(10000).c_str(), &table);
  for (auto _ : state) {
    for (int more = ValueTable_FindFirstRow(table); more; more = ValueTable_FindNextRow(table)) {
      char* text = nullptr;
      int length = 0;
      ValueTable_GetProperty("NAME", &text, &length, 0, table);
      ValueTable_FreeProperty(&text);
    }
  }
  state.SetItemsProcessed(state.iterations() * 10000);
  ValueTable_Free(table);
}
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond);

// Searches for the last row, the worst case.
void BM_Search(benchmark::State& state) {
  int rows = static_cast<int>(state.range(0));
  ValueTableHandle* table = nullptr;
  ValueTable_OpenFile(TableFile(rows).c_str(), &table);
  std::string last = "user" + std::to_string(rows - 1) + "@example.com";
  for (auto _ : state) {
    if (ValueTable_SetRowByPropValue("NAME", last.c_str(), table) != 1) std::abort();
  }
  state.SetComplexityN(rows);
  ValueTable_Free(table);
}
BENCHMARK(BM_Search)->RangeMultiplier(2)->Range(1250, 10000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

void BM_Save(benchmark::State& state) {
  ValueTableHandle* table = nullptr;
  ValueTable_OpenFile(TableFile(10000).c_str(), &table);
  for (auto _ : state) {
    if (ValueTable_Save(table) != 1) std::abort();
  }
  ValueTable_Free(table);
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);

}  // namespace

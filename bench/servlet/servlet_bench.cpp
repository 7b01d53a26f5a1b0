// The servlet emulator under the volumes a synchronisation sends: a BATCH of
// many adds into a mailbox database file, run in-process and over HTTP on
// loopback, and the LIST that follows it.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "bench/common/bench_support.h"
#include "tools/qvservlet/servlet.h"

namespace {

// A batch of `count` contact adds with about a dozen fields each, as the
// add-in's batch mode writes them.
std::string BatchOfAdds(int count) {
  std::string batch;
  for (int i = 0; i < count; ++i) {
    std::string n = std::to_string(i);
    batch += "Cmd=ADD-CONTACT\rFirstName=First" + n + "\rLastName=Last" + n + "\rFullName=First" + n +
             "+Last" + n + "\rEmail1Address=person" + n + "%u0040example.com\rCompanyName=Quorvia\r"
             "BusinessTelephoneNumber=%2B1+555+0100\rHomeAddressCity=Springfield\rJobTitle=Engineer\r"
             "Body=Met+at+the+conference%u002C+follow+up+in+May.\rCategories=Work\rID=" +
             std::string(24, 'A') + n + ".VCF\r\n";
  }
  return batch;
}

void BM_BatchOfAddsToAFile(benchmark::State& state) {
  const std::string body = "Cmd=BATCH&Batch=" + BatchOfAdds(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    qv::bench::ScratchFolder folder("qvservlet-bench");
    {
      qv::servlet::Servlet servlet(folder.File("mail.db"));
      servlet.AddUser("alice", "secret");
      state.ResumeTiming();
      std::string reply = servlet.Execute("alice", body);
      benchmark::DoNotOptimize(reply.data());
      state.PauseTiming();
      if (servlet.ListItems("alice", "CONTACT").size() != static_cast<size_t>(state.range(0))) {
        state.SkipWithError("not every add was stored");
      }
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["body_MiB"] = static_cast<double>(body.size()) / (1 << 20);
}
BENCHMARK(BM_BatchOfAddsToAFile)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BatchOfAddsOverHttp(benchmark::State& state) {
  const std::string body = "Cmd=BATCH&Batch=" + BatchOfAdds(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    qv::bench::ScratchFolder folder("qvservlet-bench");
    {
      qv::servlet::Servlet servlet(folder.File("mail.db"));
      servlet.AddUser("alice", "secret");
      servlet.SetRequireSession(false);
      if (!servlet.Start()) state.SkipWithError("cannot listen on loopback");
      httplib::Client client("127.0.0.1", servlet.port());
      client.set_read_timeout(120, 0);
      client.Post(qv::servlet::kDefaultPath, "Cmd=LOGIN&Username=alice&Password=secret",
                  "application/x-www-form-urlencoded");
      state.ResumeTiming();
      auto reply = client.Post(qv::servlet::kDefaultPath, body, "application/x-www-form-urlencoded");
      auto list = client.Post(qv::servlet::kDefaultPath, "Cmd=LIST-CONTACTS&Pagination=None&Groups=1",
                              "application/x-www-form-urlencoded");
      state.PauseTiming();
      if (!reply || reply->status != 200 || !list || list->status != 200) state.SkipWithError("request failed");
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BatchOfAddsOverHttp)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

// Throughput of the text encodings, of the LIST reply reader, and of whole
// requests against the servlet emulator on loopback (one connection each, as
// the add-in makes them).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "addin/codec/encodings.h"
#include "addin/config/sync_config.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "tools/qvservlet/servlet.h"

namespace {

// A mixed text: mostly safe ASCII, spaces, punctuation and some non-ASCII.
std::string MixedText(size_t size) {
  const std::string pattern =
      "Meeting with Ren\xC3\xA9 & Zo\xC3\xAB at 10:30 (room 4) \xE2\x80\x94 bring 50% more!\r\n";
  std::string text;
  while (text.size() < size) text += pattern;
  text.resize(size);
  return text;
}

void BM_EscapeValue(benchmark::State& state) {
  const std::string text = MixedText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(qvsync::EscapeValue(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EscapeValue)->Arg(256)->Arg(64 << 10);

void BM_DecodeQuotedPrintable(benchmark::State& state) {
  std::string text;
  while (text.size() < static_cast<size_t>(state.range(0))) text += "Caf=E9 =22au lait=22 =3D 2=\r\n";
  for (auto _ : state) benchmark::DoNotOptimize(qvsync::DecodeQuotedPrintable(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_DecodeQuotedPrintable)->Arg(64 << 10);

void BM_ReadItemList(benchmark::State& state) {
  std::string reply = "<?xml version=\"1.0\"?><RESPONSE><RETURNVALUE>1</RETURNVALUE><ELEMENTS>";
  for (int i = 0; i < state.range(0); ++i) {
    reply += "<ELEMENT ID=\"" + std::to_string(i) +
             "0123456789ABCDEF0123456789AB.VCF\" TYPE=\"CONTACT\"><MODIFIEDDATE>" +
             std::to_string(100000 + i) + "</MODIFIEDDATE></ELEMENT>";
  }
  reply += "</ELEMENTS></RESPONSE>";
  std::vector<std::string> list;
  for (auto _ : state) {
    qvsync::ReadItemList(reply, list);
    benchmark::DoNotOptimize(list.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ReadItemList)->Arg(5000);

// Requests per second through HttpPost to the emulator on loopback.
void BM_RequestRoundTrip(benchmark::State& state) {
  setenv("no_proxy", "127.0.0.1", 1);
  qv::servlet::Servlet servlet;
  servlet.AddUser("alice", "secret");
  if (!servlet.Start("127.0.0.1", 0)) {
    state.SkipWithError("cannot start the emulator");
    return;
  }
  qvsync::SyncConfig& config = qvsync::Config();
  config.host = servlet.host();
  config.requestUrl = "";
  qvsync::loggedIn = false;
  int32_t code = 0;
  std::string message;
  if (qvsync::ServerLogin("alice", "secret", code, message) != 1) {
    state.SkipWithError("login failed");
    return;
  }
  for (int i = 0; i < 50; ++i) servlet.AddItem("alice", "TASK", {{"Subject", "task"}});
  std::vector<std::string> list;
  for (auto _ : state) {
    if (qvsync::GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}) != 1) {
      state.SkipWithError("LIST failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  servlet.Stop();
}
BENCHMARK(BM_RequestRoundTrip)->UseRealTime();

}  // namespace

// LZW parameter compression throughput, and forwarded GetSystemOption round
// trips over loopback through qvadmind.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "library/options/options.h"
#include "library/remote/channel.h"
#include "library/remote/lzw.h"
#include "library/remote/remote.h"
#include "platform/registry/registry.h"

extern char** environ;

namespace {

// Text like the product's settings: words, paths, numbers, some zero runs.
std::string MixedText(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"Quorvia", "SMTP", "Domain", "example.org", "Mailbox",
                                       "\\Software\\Quorvia", "Limit", "=", "true", "false",
                                       "postmaster@", "Relay", "Spam", "\r\n", " ", " ", " "};
  std::mt19937 random(seed);
  std::string text;
  text.reserve(size);
  while (text.size() < size) {
    const uint32_t pick = random() % 20;
    if (pick < 17) {
      text += kWords[pick];
    } else if (pick == 17) {
      text += std::to_string(random() % 100000);
    } else if (pick == 18) {
      text.append(random() % 40, '\0');
    } else {
      text.push_back(static_cast<char>(random()));
    }
  }
  text.resize(size);
  return text;
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void BM_LzwCompress(benchmark::State& state) {
  const std::string input = MixedText(static_cast<size_t>(state.range(0)), 1);
  size_t packed = 0;
  for (auto _ : state) {
    std::string out = qvaiso::lzw::Compress(Bytes(input));
    packed = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
  state.counters["ratio"] = static_cast<double>(packed) / static_cast<double>(input.size());
}
BENCHMARK(BM_LzwCompress)->Arg(3 * 1024)->Arg(1 << 20);

void BM_LzwDecompress(benchmark::State& state) {
  const std::string input = MixedText(static_cast<size_t>(state.range(0)), 1);
  const std::string packed = qvaiso::lzw::Compress(Bytes(input));
  for (auto _ : state) {
    std::string out;
    if (qvaiso::lzw::Decompress(Bytes(packed), input.size(), &out) != qvaiso::lzw::DecodeStatus::Ok) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}
BENCHMARK(BM_LzwDecompress)->Arg(3 * 1024)->Arg(1 << 20);

// Starts qvadmind on loopback over a registry of its own, and points this
// process's host table at it.
class Listener {
 public:
  Listener() {
    char templ[] = "/tmp/qvbench-XXXXXX";
    dir_ = mkdtemp(templ);
    setenv("QUORVIA_HKCU", (dir_ + "/hkcu.db").c_str(), 1);
    setenv("QUORVIA_HKLM", (dir_ + "/remote-hklm.db").c_str(), 1);
    using qv::registry::Key;
    const std::filesystem::path provider = REGISTRY_PROVIDER_FILE;
    Key key;
    Key::Create(qv::registry::Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", &key);
    key.SetString("Application Directory", provider.parent_path().string());
    Key::Create(qv::registry::Hive::LocalMachine,
                "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System\\Registry", &key);
    key.SetString("Provider DLL", provider.filename().string());
    Key::Create(qv::registry::Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System",
                &key);
    key.SetString("Current Provider", "Registry");
    Key::Create(qv::registry::Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Options\\1\\SMTP",
                &key);
    key.SetString("Banner", "Quorvia ESMTP ready");
    std::ofstream(dir_ + "/credentials") << "Basic\tadmin:secret\n";
    chmod((dir_ + "/credentials").c_str(), 0600);

    const std::string out = dir_ + "/out";
    std::string binary = QVADMIND_FILE;
    std::string credentials = dir_ + "/credentials";
    const char* argv[] = {binary.c_str(), "--address", "127.0.0.1", "--port", "0", "--print-port",
                          "--credentials", credentials.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn(&pid_, binary.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 3000 && port_ == 0; ++i) {
      std::ifstream in(out);
      int port = 0;
      if (in >> port) port_ = port;
      else std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // This side: the host table; its own HKLM is not used by forwarded calls.
    setenv("QUORVIA_HKLM", (dir_ + "/hklm.db").c_str(), 1);
    Key::Create(qv::registry::Hive::CurrentUser, "Software\\Quorvia\\Quorvia\\Administration\\Hosts\\Bench",
                &key);
    key.SetString("Address", "127.0.0.1");
    key.SetDword("Port", static_cast<uint32_t>(port_));
    key.SetString("Credentials", "admin:secret");
    key.SetString("Authentication Protocol", "Basic");
  }
  ~Listener() {
    qvaiso::remote::ResetSessionForTesting();
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  bool ok() const { return port_ != 0; }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

void BM_ForwardedGetSystemOption(benchmark::State& state) {
  Listener listener;
  if (!listener.ok()) {
    state.SkipWithError("qvadmind did not start");
    return;
  }
  SetCurrentHost("Bench");
  SystemOptionRecord record{};
  record.optionScope = 1;
  std::strcpy(record.optionKey, "SMTP");
  std::strcpy(record.optionName, "Banner");
  for (auto _ : state) {
    record.optionValue[0] = '\0';
    if (GetSystemOption(&record) != 1 || std::strcmp(record.optionValue, "Quorvia ESMTP ready") != 0) {
      state.SkipWithError("forwarded call failed");
      break;
    }
  }
  SetCurrentHost("");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ForwardedGetSystemOption)->UseRealTime();

}  // namespace

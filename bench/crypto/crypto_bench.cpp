// Blowfish throughput and key set-up, ours beside OpenSSL's legacy Blowfish
// (BF_set_key, BF_ecb_encrypt, BF_cbc_encrypt) with the same key and data.
// After the runs it prints, per case, our speed divided by OpenSSL's
// (above 1.0: ours is faster).
//
//   crypto_bench [--benchmark_repetitions=5] [--benchmark_min_time=...]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "library/crypto/blowfish.h"

namespace {

using qvaiso::BlowfishCipher;
using qvaiso::BlowfishMode;

const uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                          0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87};

std::vector<uint8_t> Data(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  return data;
}

enum class Mode { Ecb, Cbc };
enum class Direction { Encrypt, Decrypt };

void Ours(benchmark::State& state, Mode mode, Direction direction) {
  std::vector<uint8_t> data = Data(static_cast<size_t>(state.range(0)));
  BlowfishCipher cipher(kKey, sizeof kKey);
  const BlowfishMode bfMode = mode == Mode::Ecb ? BlowfishMode::Ecb : BlowfishMode::Cbc;
  for (auto _ : state) {
    if (direction == Direction::Encrypt) {
      cipher.Encrypt(data.data(), data.size(), bfMode);
    } else {
      cipher.Decrypt(data.data(), data.size(), bfMode);
    }
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OpenSsl(benchmark::State& state, Mode mode, Direction direction) {
  std::vector<uint8_t> data = Data(static_cast<size_t>(state.range(0)));
  BF_KEY key;
  BF_set_key(&key, sizeof kKey, kKey);
  const int enc = direction == Direction::Encrypt ? BF_ENCRYPT : BF_DECRYPT;
  for (auto _ : state) {
    if (mode == Mode::Ecb) {
      for (size_t i = 0; i < data.size(); i += 8) {
        BF_ecb_encrypt(data.data() + i, data.data() + i, &key, enc);
      }
    } else {
      unsigned char iv[8] = {};
      BF_cbc_encrypt(data.data(), data.data(), static_cast<long>(data.size()), &key, iv, enc);
    }
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void OursKeySetup(benchmark::State& state) {
  for (auto _ : state) {
    BlowfishCipher cipher(kKey, sizeof kKey);
    benchmark::DoNotOptimize(&cipher);
  }
}

void OpenSslKeySetup(benchmark::State& state) {
  BF_KEY key;
  for (auto _ : state) {
    BF_set_key(&key, sizeof kKey, kKey);
    benchmark::DoNotOptimize(&key);
  }
}

// Keeps the console output and remembers each run's speed; the ratios use
// the median of a case's repetitions (--benchmark_repetitions), which the
// other programs sharing the machine disturb least.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With --benchmark_report_aggregates_only only the aggregates arrive;
      // the median then stands for the case.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median) speeds_[run.run_name.str()].clear();
      if (!median && (run.run_type != Run::RT_Iteration || run.iterations == 0)) continue;
      const auto bytes = run.counters.find("bytes_per_second");
      // Bytes per second where there are bytes, otherwise runs per second.
      speeds_[run.run_name.str()].push_back(
          bytes != run.counters.end()
              ? static_cast<double>(bytes->second)
              : static_cast<double>(run.iterations) / run.cpu_accumulated_time);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nours / OpenSSL, median speeds (above 1.0: ours is faster)\n");
    for (const auto& [name, speeds] : speeds_) {
      if (name.rfind("ours/", 0) != 0) continue;
      const auto other = speeds_.find("openssl/" + name.substr(5));
      if (other == speeds_.end()) continue;
      const double theirs = Median(other->second);
      if (theirs > 0) std::printf("  %-28s %5.2f\n", name.substr(5).c_str(), Median(speeds) / theirs);
    }
  }

 private:
  static double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  }

  std::map<std::string, std::vector<double>> speeds_;
};

void Register() {
  const struct {
    const char* name;
    Mode mode;
    Direction direction;
  } cases[] = {
      {"ecb_encrypt", Mode::Ecb, Direction::Encrypt},
      {"ecb_decrypt", Mode::Ecb, Direction::Decrypt},
      {"cbc_encrypt", Mode::Cbc, Direction::Encrypt},
      {"cbc_decrypt", Mode::Cbc, Direction::Decrypt},
  };
  for (const auto& c : cases) {
    for (int64_t size : {int64_t{64}, int64_t{4096}, int64_t{1} << 20}) {
      // Ours and OpenSSL's one after the other, so both see the same machine state.
      benchmark::RegisterBenchmark((std::string("ours/") + c.name).c_str(), Ours, c.mode, c.direction)
          ->Arg(size);
      benchmark::RegisterBenchmark((std::string("openssl/") + c.name).c_str(), OpenSsl, c.mode,
                                   c.direction)
          ->Arg(size);
    }
  }
  benchmark::RegisterBenchmark("ours/key_setup", OursKeySetup);
  benchmark::RegisterBenchmark("openssl/key_setup", OpenSslKeySetup);
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

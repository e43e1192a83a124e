// Throughput of the digests on one progress block and on one upload range.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "codec/sha1.h"
#include "codec/sha1_compress.h"

namespace vexa {
namespace {

std::string RandomText(size_t n) {
  std::mt19937 rng(42);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void BM_Sha1(benchmark::State& state, Sha1Engine engine) {
  const Sha1Engine saved = ActiveSha1Engine();
  if (!SetSha1Engine(engine)) {
    state.SkipWithError("CPU lacks the SHA extensions");
    return;
  }
  const std::string data = RandomText(static_cast<size_t>(state.range(0)));
  std::string hex;
  for (auto _ : state) {
    Sha1Hex(data.data(), data.size(), &hex);
    benchmark::DoNotOptimize(hex);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  SetSha1Engine(saved);
}

void BM_Sha1Portable(benchmark::State& state) { BM_Sha1(state, Sha1Engine::kPortable); }
void BM_Sha1ShaNi(benchmark::State& state) { BM_Sha1(state, Sha1Engine::kShaNi); }

void BM_Md5(benchmark::State& state) {
  const std::string data = RandomText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Md5Hex(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Sha1Portable)->Arg(8 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1ShaNi)->Arg(8 << 10)->Arg(1 << 20);
BENCHMARK(BM_Md5)->Arg(8 << 10)->Arg(1 << 20);

}  // namespace
}  // namespace vexa

// Throughput of the digests on one progress block and on one upload range,
// and of SHA-1 over a file in the page cache as each way of reading feeds it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codec/md5.h"
#include "codec/sha1.h"
#include "codec/sha1_compress.h"
#include "port/file.h"

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

// A 256 MiB file (far beyond the caches), written once, removed at exit.
const std::string& BenchFile() {
  static const std::string* const path = [] {
    auto* p = new std::string(
        (std::filesystem::temp_directory_path() / "vexa_codec_bench_sha1.bin").string());
    const std::string block = RandomText(1 << 20);
    std::FILE* f = std::fopen(p->c_str(), "wb");
    for (int i = 0; f != nullptr && i < 256; ++i) std::fwrite(block.data(), 1, block.size(), f);
    if (f != nullptr) std::fclose(f);
    std::atexit([] { std::filesystem::remove(BenchFile()); });
    return p;
  }();
  return *path;
}

void BM_Sha1File(benchmark::State& state, port::ScanMode mode) {
  const std::string& path = BenchFile();
  uint64_t bytes = 0;
  for (auto _ : state) {
    Sha1 sha;
    const auto result = port::ScanFile(path, mode, [&](const uint8_t* data, size_t n) {
      sha.Update(data, n);
      bytes += n;
      return true;
    });
    std::string hex;
    if (result != port::ScanResult::kDone || !sha.FinalHex(&hex)) {
      state.SkipWithError("scan failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_Sha1FileMapped(benchmark::State& state) { BM_Sha1File(state, port::ScanMode::kMapped); }
void BM_Sha1FileRead(benchmark::State& state) { BM_Sha1File(state, port::ScanMode::kRead); }

// Wall time: hash_vs_openssl.sh sets the in-memory rate against whole runs.
BENCHMARK(BM_Sha1Portable)->Arg(8 << 10)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_Sha1ShaNi)->Arg(8 << 10)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_Md5)->Arg(8 << 10)->Arg(1 << 20);
BENCHMARK(BM_Sha1FileMapped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sha1FileRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vexa

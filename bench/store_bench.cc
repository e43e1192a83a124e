// The resume store with 100 000 sections: loading it, and one full rewrite by
// its writer.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "account/session.h"
#include "account/test_data_dir.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

constexpr int kSections = 100000;

std::string PathOf(int i) {
  return "/home/user/Pictures/2026/holiday-" + std::to_string(i / 1000) + "/IMG_" +
         std::to_string(100000 + i) + ".jpg";
}

class StoreFixture {
 public:
  StoreFixture() {
    ApplyLoginAnswer(R"({"state": true, "user_id": "4242"})", "a", "d", false, false,
                     LogoutCount());
    OpenResumeStore();
    LoadResumeStore(nullptr);
    ResumeRecord r;
    r.fileId = std::string(40, 'A');
    r.quickId = std::string(40, 'B');
    r.pickCode = "abcdefgh";
    r.target = "1234567890";
    r.fileSize = 4000000000LL;
    r.uploadedSize = 123456789;
    for (int i = 0; i < kSections; ++i) SaveResumeRecord(PathOf(i), r, false);
    CloseResumeStore();  // writes the file
    file_bytes_ = static_cast<double>(std::filesystem::file_size(dir_.File("4242_upload.ini")));
  }
  ~StoreFixture() {
    CloseResumeStore();
    LogoutAccount();
  }
  double file_bytes() const { return file_bytes_; }

 private:
  TestDataDir dir_;
  double file_bytes_ = 0;
};

void BM_LoadResumeStore(benchmark::State& state) {
  StoreFixture fixture;
  size_t records = 0;
  for (auto _ : state) {
    OpenResumeStore();
    LoadResumeStore([&records](const std::vector<StoredUpload>& u) { records = u.size(); });
    state.PauseTiming();
    CloseResumeStore();
    state.ResumeTiming();
  }
  if (records != static_cast<size_t>(kSections)) state.SkipWithError("records lost");
  state.counters["sections"] = kSections;
  state.counters["file_bytes"] = fixture.file_bytes();
}
BENCHMARK(BM_LoadResumeStore)->Unit(benchmark::kMillisecond)->Iterations(3);

// The writer woken once: serialise, write a temporary file, flush, rename.
void BM_RewriteResumeStore(benchmark::State& state) {
  StoreFixture fixture;
  OpenResumeStore();
  LoadResumeStore(nullptr);
  for (auto _ : state) {
    const uint64_t writes = TEST_ResumeWrites();
    MarkResumeStoreDirty(true);
    while (TEST_ResumeWrites() == writes) {
      TEST_WaitForResumeWriterPass(TEST_ResumeWriterPasses(), 1000);
    }
  }
  CloseResumeStore();
  state.counters["sections"] = kSections;
}
BENCHMARK(BM_RewriteResumeStore)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace vexa

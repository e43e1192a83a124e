// Sends the ranges of one large file to vexa-server on loopback with
// PostChunk and, in the same run, with curl (the same URL and the same signed
// multipart bodies, one connection per range), and prints the best time of
// each and their throughput ratio. A third side uploads the same file whole
// through the engine and the transfer worker (hashing, pacing, dispatch,
// check, ranges), timed in all and from its first range on, with the peak
// memory of the process. Each side uploads fresh content every repetition
// (the service would otherwise complete a known file at once).
//
// usage: post_chunk_vs_curl [MiB] [repetitions]; VEXA_BINARY_DIR names the
// build folder that holds vexa-server.

#include <json/json.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "account/account_api.h"
#include "account/session.h"
#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "engine/engine.h"
#include "engine/transfer_worker.h"
#include "net/http_client.h"
#include "port/clock.h"
#include "port/file.h"
#include "protocol/chunk_post.h"
#include "protocol/dispatch_request.h"
#include "protocol/testing/memory_job.h"
#include "protocol/transfer_request.h"
#include "server/testing/server_process.h"

namespace vexa {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "post_chunk_vs_curl: %s\n", what.c_str());
  std::exit(1);
}

HttpClient LoopbackClient() {
  HttpClient c;
  c.useSystemProxy = false;
  return c;
}

void LogIn(const HttpClient& client, const std::string& base) {
  std::string digest, answer;
  PasswordDigest("alice-pw", &digest);
  const std::string t = std::to_string(port::UnixTimeSeconds());
  const std::string body =
      "account=alice&_time=" + t + "&version=win_1.0.1026.4&sign=" + LoginSign("alice", digest, t);
  AccountState state;
  if (!client.Post(base + "/app/clogin", body, &answer) || !ReadLoginAnswer(answer, &state) ||
      !state.loggedIn) {
    Die("login failed: " + answer);
  }
  UpdateAccountState([&state](AccountState* s) { *s = state; });
}

// Makes the file's content new (its first bytes name the side and the
// repetition), then dispatches it; the job is ready for its first range.
void Prepare(const HttpClient& client, const std::string& path, const std::string& mark, MemoryJob* job) {
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(mark.data(), static_cast<std::streamsize>(mark.size()));
  }
  uint32_t error = 0;
  job->fields = JobFields();
  job->fields.filePath = path;
  if (!Sha1FileHex(&error, nullptr, path, &job->fields.fileId) ||
      !QuickIdHex(path, &job->fields.quickId, &error)) {
    Die("hash failed");
  }
  uint64_t size = 0;
  port::FileSize64(path, &size);
  job->fields.fileSize = static_cast<int64_t>(size);
  job->fields.target = GetDefaultTarget();
  if (job->transfer.file != nullptr) std::fclose(job->transfer.file);
  job->transfer = TransferContext();
  job->transfer.file = port::OpenFileShared(path, "rb");
  std::string url, body, answer;
  if (!BuildDispatchRequest(*job, &url, &body) || !client.Post(url, body, &answer) ||
      !ParseDispatchResponse(*job, answer) || job->quick_upload) {
    Die("dispatch failed: " + answer);
  }
}

double TimePostChunk(const HttpClient& client, MemoryJob* job) {
  std::string url;
  if (!BuildBigUploadUrl(*job, &url)) Die("no URL");
  const Clock::time_point start = Clock::now();
  while (job->transfer.offset < job->fields.fileSize) {
    job->transfer.chunkLength = kMaxRangeBytes;
    std::string answer;
    bool fatal = false;
    if (!PostChunk(client, kChunkBoundary, *job, url, &answer, &fatal, nullptr) ||
        !ParseBigUploadResponse(*job, answer)) {
      Die("range failed at " + std::to_string(job->transfer.offset) + ": " + answer);
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes the bodies PostChunk would send, one file per range, and a curl
// configuration that posts them in order; then times curl.
double TimeCurl(MemoryJob* job, const fs::path& scratch) {
  std::string url;
  if (!BuildBigUploadUrl(*job, &url)) Die("no URL");
  const fs::path config = scratch / "curl.cfg";
  std::ofstream cfg(config);
  std::vector<char> data(static_cast<size_t>(kMaxRangeBytes));
  const JobFields& f = job->fields;
  int n = 0;
  for (int64_t offset = 0; offset < f.fileSize; offset += kMaxRangeBytes, ++n) {
    const int64_t length = std::min(kMaxRangeBytes, f.fileSize - offset);
    port::Seek64(job->transfer.file, static_cast<uint64_t>(offset));
    if (std::fread(data.data(), 1, static_cast<size_t>(length), job->transfer.file) !=
        static_cast<size_t>(length)) {
      Die("read failed");
    }
    ChunkFields fields;
    fields.fileId = f.fileId;
    fields.quickId = f.quickId;
    fields.ctrange =
        FormatU64(static_cast<uint64_t>(offset)) + "-" + FormatU64(static_cast<uint64_t>(offset + length));
    Sha1Hex(data.data(), static_cast<size_t>(length), &fields.cthash);
    fields.fileName = f.pickCode;
    const fs::path body = scratch / ("range" + std::to_string(n));
    std::ofstream out(body, std::ios::binary);
    out << ChunkMultipartHead(kChunkBoundary, fields);
    out.write(data.data(), static_cast<std::streamsize>(length));
    out << ChunkMultipartTail(kChunkBoundary);
    if (n > 0) cfg << "next\n";
    // No "Expect: 100-continue" round trip: PostChunk does not make one either.
    cfg << "url = \"" << url << "\"\ndata-binary = \"@" << body.string() << "\"\n"
        << "header = \"Content-Type: multipart/form-data; boundary=" << kChunkBoundary << "\"\n"
        << "header = \"Expect:\"\nheader = \"Connection: Keep-Alive\"\nuser-agent = \"vexaupload\"\n"
        << "output = \"" << (scratch / "answers").string() << "\"\n";
  }
  cfg.close();
  const std::string command = "curl -sS --fail -K '" + config.string() + "'";
  const Clock::time_point start = Clock::now();
  if (std::system(command.c_str()) != 0) Die("curl failed");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream answers(scratch / "answers");
  std::string last((std::istreambuf_iterator<char>(answers)), std::istreambuf_iterator<char>());
  if (last.find("\"offset\":" + std::to_string(f.fileSize)) == std::string::npos)
    Die("curl upload incomplete: " + last);
  for (int i = 0; i < n; ++i) fs::remove(scratch / ("range" + std::to_string(i)));
  return seconds;
}

// Notes when the first range of a run leaves, so the range phase of the
// whole upload can be told from its hashing and pacing.
class FirstRangeClock : public port::SocketApiWrapper {
 public:
  FirstRangeClock() : SocketApiWrapper(port::DefaultSocketApi()) {}
  long Send(port::SocketHandle s, const void* data, size_t length) override {
    if (length > 30 && std::string_view(static_cast<const char*>(data), 30).find("/bigupload") !=
                           std::string_view::npos) {
      std::lock_guard<std::mutex> l(mu_);
      if (!seen_) first_ = Clock::now();
      seen_ = true;
    }
    return SocketApiWrapper::Send(s, data, length);
  }
  void Reset() {
    std::lock_guard<std::mutex> l(mu_);
    seen_ = false;
  }
  Clock::time_point first() {
    std::lock_guard<std::mutex> l(mu_);
    return first_;
  }

 private:
  std::mutex mu_;
  bool seen_ = false;
  Clock::time_point first_;
};

// Resident memory of this process in KiB ("VmRSS" or "VmHWM", the peak).
long MemoryKiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

struct WorkerTimes {
  double whole = 0;   // AddFileTask to the completed report
  double ranges = 0;  // first range to the completed report
};

// Uploads the file whole through the engine with the transfer worker.
WorkerTimes TimeWorker(const std::string& path, const std::string& mark, FirstRangeClock* ranges) {
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.write(mark.data(), static_cast<std::streamsize>(mark.size()));
  }
  static std::mutex mu;
  static std::condition_variable cv;
  static int final_status = -1;
  final_status = -1;
  StartEngine(
      [path](TaskNotice n) {
        const auto s = static_cast<TaskStatus>(n.status);
        if (n.path != path || (s != TaskStatus::Completed && s != TaskStatus::Failed)) return;
        std::lock_guard<std::mutex> l(mu);
        final_status = n.status;
        cv.notify_all();
      },
      0);
  ranges->Reset();
  const Clock::time_point start = Clock::now();
  if (!AddFileTask(path, GetDefaultTarget(), 0, "", "", true)) Die("the worker did not take the file");
  {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [] { return final_status >= 0; });
  }
  const Clock::time_point end = Clock::now();
  if (final_status != static_cast<int>(TaskStatus::Completed)) Die("the worker's upload failed");
  while (GetQueueTotals().runningCount != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  StopEngine();
  WorkerTimes t;
  t.whole = std::chrono::duration<double>(end - start).count();
  t.ranges = std::chrono::duration<double>(end - ranges->first()).count();
  return t;
}

int Main(int argc, char** argv) {
  int mib = 256, reps = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--", 0) == 0) continue;  // options of the benchmark runner
    (i == 1 ? mib : reps) = std::atoi(a.c_str());
  }
  if (mib <= 0 || reps <= 0) Die("usage: post_chunk_vs_curl [MiB] [repetitions]");
  if (std::system("curl --version >/dev/null 2>&1") != 0) Die("curl not found");

  const fs::path scratch =
      fs::temp_directory_path() / ("vexa-bench-" + std::to_string(std::random_device()()));
  fs::create_directories(scratch);
  struct Cleanup {
    fs::path p;
    ~Cleanup() { fs::remove_all(p); }
  } cleanup{scratch};
  server::ServerProcess server((scratch / "server").string());
  if (!server.Start()) Die("vexa-server did not start (is VEXA_BINARY_DIR set?)");
  const HttpClient client = LoopbackClient();
  LogIn(client, server.base());
  // The engine's side: its own data folder, the service's quota queries, and
  // the process-wide client with the range clock.
  setenv("VEXAUPLOAD_DATA_DIR", (scratch / "data").c_str(), 1);
  fs::create_directories(scratch / "data");
  SetAccountApiBase(server.base());
  InstallTransferWorker();
  FirstRangeClock range_clock;
  ProcessHttpClient().useSystemProxy = false;
  ProcessHttpClient().socketApi = &range_clock;

  const std::string path = (scratch / "upload.bin").string();
  {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 gen(42);
    std::vector<uint64_t> block(1 << 17);
    for (int i = 0; i < mib; ++i) {
      for (uint64_t& w : block) w = gen();
      out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
    }
  }
  const double bytes = static_cast<double>(mib) * 1048576.0;
  double best_ours = 0, best_curl = 0;
  WorkerTimes best_worker;
  long rss_before = 0, rss_peak = 0;
  MemoryJob job;
  for (int r = 1; r <= reps; ++r) {
    double ours = 0, theirs = 0;
    rss_before = MemoryKiB("VmRSS");
    const WorkerTimes w = TimeWorker(path, "worker run " + std::to_string(r), &range_clock);
    rss_peak = MemoryKiB("VmHWM");
    if (best_worker.whole == 0 || w.whole < best_worker.whole) best_worker.whole = w.whole;
    if (best_worker.ranges == 0 || w.ranges < best_worker.ranges) best_worker.ranges = w.ranges;
    // Alternate which side goes first, so neither always meets a warmer server.
    for (int side = 0; side < 2; ++side) {
      const bool post_chunk = (side == 0) == (r % 2 == 1);
      Prepare(client, path, (post_chunk ? "PostChunk run " : "curl run ") + std::to_string(r), &job);
      if (post_chunk) {
        ours = TimePostChunk(client, &job);
      } else {
        theirs = TimeCurl(&job, scratch);
      }
    }
    std::printf("run %d: PostChunk %6.3f s  curl %6.3f s  worker %6.3f s whole, %6.3f s of ranges\n", r, ours,
                theirs, w.whole, w.ranges);
    if (best_ours == 0 || ours < best_ours) best_ours = ours;
    if (best_curl == 0 || theirs < best_curl) best_curl = theirs;
  }
  if (job.transfer.file != nullptr) std::fclose(job.transfer.file);
  std::printf("best: PostChunk %.0f MiB/s, curl %.0f MiB/s (%d MiB in 1 MiB ranges, one connection each)\n",
              bytes / 1048576.0 / best_ours, bytes / 1048576.0 / best_curl, mib);
  std::printf("throughput ratio PostChunk/curl: %.3f (target >= 0.95)\n", best_curl / best_ours);
  std::printf("worker: range phase throughput ratio worker/curl: %.3f (target >= 0.95)\n",
              best_curl / best_worker.ranges);
  std::printf("worker: whole upload (hashing, 0.5 s pause, dispatch, check, ranges) %.3f s = %.3f x curl's time"
              " (target <= 1.5)\n",
              best_worker.whole, best_worker.whole / best_curl);
  std::printf("worker: resident memory %ld KiB before its last upload, peak %ld KiB\n", rss_before, rss_peak);
  return 0;
}

}  // namespace
}  // namespace vexa

int main(int argc, char** argv) { return vexa::Main(argc, argv); }

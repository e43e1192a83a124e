#include "bench/loopback_upload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include "account/session.h"
#include "codec/login_sign.h"
#include "codec/sha1.h"
#include "codec/text.h"
#include "port/clock.h"
#include "port/file.h"
#include "protocol/chunk_post.h"
#include "protocol/dispatch_request.h"
#include "protocol/transfer_request.h"

namespace vexa::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void Die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

void ReadSizeAndRepetitions(int argc, char** argv, const char* usage, int* mib, int* reps) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--", 0) == 0) continue;  // options of the benchmark runner
    *(i == 1 ? mib : reps) = std::atoi(a.c_str());
  }
  if (*mib <= 0 || *reps <= 0) Die(usage);
}

ScratchDir::ScratchDir()
    : path_(std::filesystem::temp_directory_path() /
            ("vexa-bench-" + std::to_string(std::random_device()()))) {
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void RequireCurl() {
  if (std::system("curl --version >/dev/null 2>&1") != 0) Die("curl not found");
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

void StartAndLogIn(server::ServerProcess* server, const HttpClient& client) {
  if (!server->Start()) Die("vexa-server did not start (is VEXA_BINARY_DIR set?)");
  LogIn(client, server->base());
}

void MarkFile(const std::string& path, const std::string& mark) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.write(mark.data(), static_cast<std::streamsize>(mark.size()));
}

void WriteRandomFile(const std::string& path, int mib) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 gen(42);
  std::vector<uint64_t> block(1 << 17);
  for (int i = 0; i < mib; ++i) {
    for (uint64_t& w : block) w = gen();
    out.write(reinterpret_cast<const char*>(block.data()), 1 << 20);
  }
}

void Prepare(const HttpClient& client, const std::string& path, const std::string& mark,
             MemoryJob* job) {
  MarkFile(path, mark);
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

namespace {

// Where a timed run posts its ranges: the sink when one is given, else the
// service's range URL for the job.
std::string RangeUrl(const MemoryJob& job, const std::string& sink) {
  std::string url = sink;
  if (url.empty() && !BuildBigUploadUrl(job, &url)) Die("no URL");
  return url;
}

}  // namespace

double TimeCurl(MemoryJob* job, const fs::path& scratch, bool expect_continue,
                const std::string& sink) {
  const std::string url = RangeUrl(*job, sink);
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
    fields.ctrange = FormatU64(static_cast<uint64_t>(offset)) + "-" +
                     FormatU64(static_cast<uint64_t>(offset + length));
    Sha1Hex(data.data(), static_cast<size_t>(length), &fields.cthash);
    fields.fileName = f.pickCode;
    const fs::path body = scratch / ("range" + std::to_string(n));
    std::ofstream out(body, std::ios::binary);
    out << ChunkMultipartHead(kChunkBoundary, fields);
    out.write(data.data(), static_cast<std::streamsize>(length));
    out << ChunkMultipartTail(kChunkBoundary);
    if (n > 0) cfg << "next\n";
    cfg << "url = \"" << url << "\"\ndata-binary = \"@" << body.string() << "\"\n"
        << "header = \"Content-Type: multipart/form-data; boundary=" << kChunkBoundary << "\"\n"
        << (expect_continue ? "header = \"Expect: 100-continue\"\n" : "header = \"Expect:\"\n")
        << "header = \"Connection: Keep-Alive\"\nuser-agent = \"vexaupload\"\n"
        << "output = \"" << (scratch / "answers").string() << "\"\n";
  }
  cfg.close();
  const std::string command = "curl -sS --fail -K '" + config.string() + "'";
  const Clock::time_point start = Clock::now();
  if (std::system(command.c_str()) != 0) Die("curl failed");
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream answers(scratch / "answers");
  std::string last((std::istreambuf_iterator<char>(answers)), std::istreambuf_iterator<char>());
  if (sink.empty() && last.find("\"offset\":" + std::to_string(f.fileSize)) == std::string::npos)
    Die("curl upload incomplete: " + last);
  for (int i = 0; i < n; ++i) fs::remove(scratch / ("range" + std::to_string(i)));
  return seconds;
}

double TimePostChunk(const HttpClient& client, MemoryJob* job, const std::string& sink) {
  const std::string url = RangeUrl(*job, sink);
  const Clock::time_point start = Clock::now();
  while (job->transfer.offset < job->fields.fileSize) {
    job->transfer.chunkLength = kMaxRangeBytes;
    std::string answer;
    bool fatal = false;
    if (!PostChunk(client, kChunkBoundary, *job, url, &answer, &fatal, nullptr) ||
        (sink.empty() && !ParseBigUploadResponse(*job, answer))) {
      Die("range failed at " + std::to_string(job->transfer.offset) + ": " + answer);
    }
    if (!sink.empty()) {
      job->transfer.offset = std::min(job->transfer.offset + kMaxRangeBytes, job->fields.fileSize);
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace vexa::bench

#ifndef VEXA_BENCH_LOOPBACK_UPLOAD_H_
#define VEXA_BENCH_LOOPBACK_UPLOAD_H_

// What the upload benchmarks share: a logged-in client of a vexa-server on
// loopback, fresh content for each run and a curl run of its ranges.

#include <filesystem>
#include <string>

#include "net/http_client.h"
#include "protocol/testing/memory_job.h"
#include "server/testing/server_process.h"

namespace vexa::bench {

[[noreturn]] void Die(const std::string& what);

// The two positional arguments of a loopback benchmark, [MiB] [repetitions],
// over the given defaults; options of the benchmark runner ("--...") are
// skipped. Ends the program with `usage` on a value that is not positive.
void ReadSizeAndRepetitions(int argc, char** argv, const char* usage, int* mib, int* reps);

// A fresh folder below the temporary folder, removed with its content at the
// end of the benchmark.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Ends the program when curl cannot be run.
void RequireCurl();

// A client that never goes through a proxy.
HttpClient LoopbackClient();

// Logs alice in at `base`; the login state is the process's.
void LogIn(const HttpClient& client, const std::string& base);

// Starts the server and logs alice in there; ends the program on failure.
void StartAndLogIn(server::ServerProcess* server, const HttpClient& client);

// Makes the file's content new: its first bytes become `mark`.
void MarkFile(const std::string& path, const std::string& mark);

// Writes `mib` MiB of random bytes to `path`.
void WriteRandomFile(const std::string& path, int mib);

// Makes the file's content new (its first bytes become `mark`), then
// dispatches it; the job is ready for its first range.
void Prepare(const HttpClient& client, const std::string& path, const std::string& mark,
             MemoryJob* job);

// Writes the bodies PostChunk would send, one file per range, and a curl
// configuration that posts them in order, one connection each; then times
// curl (seconds). With `expect_continue` curl asks for "100 Continue" before
// each body, as it does by itself for large bodies. With `sink` (a URL) the
// bodies go there instead, and its answers are not checked.
double TimeCurl(MemoryJob* job, const std::filesystem::path& scratch, bool expect_continue,
                const std::string& sink = "");

// Posts every range of the prepared job with PostChunk, as the transfer
// worker does (one connection each), and returns the seconds it took. With
// `sink` (a URL) the ranges go there instead, and its answers are not read.
double TimePostChunk(const HttpClient& client, MemoryJob* job, const std::string& sink = "");

}  // namespace vexa::bench

#endif  // VEXA_BENCH_LOOPBACK_UPLOAD_H_

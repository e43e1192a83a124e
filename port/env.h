#ifndef VEXA_PORT_ENV_H_
#define VEXA_PORT_ENV_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "port/file.h"

namespace vexa::port {

class Event;

// A file open for writing at any offset. Nothing written is durable before
// Sync returns true; the file is closed (without a sync) when destroyed.
// On failure each call sets LastError().
class WritableFile {
 public:
  WritableFile() = default;
  virtual ~WritableFile() = default;
  WritableFile(const WritableFile&) = delete;
  WritableFile& operator=(const WritableFile&) = delete;

  // Writes all of `data` at `offset` (a gap before it reads as zeros).
  virtual bool WriteAt(uint64_t offset, std::string_view data) = 0;
  virtual bool Truncate(uint64_t size) = 0;
  virtual bool Size(uint64_t* size) = 0;
  // Has the disk start on what was written, without waiting (a hint).
  virtual void StartSync() = 0;
  // Returns once the data and the size are on the disk.
  virtual bool Sync() = 0;
  // False when data still buffered could not be written.
  virtual bool Close() = 0;
};

enum class WriteMode {
  kExisting,   // the file must exist; its content stays
  kCreateNew,  // the file must not exist
  kReplace,    // created, or emptied when it exists
};

// Everything the client's engine and store and the service's file store ask
// of the system: the clock, sleeping, threads and files. Tests put another
// environment in its place (a clock they move, files that lose what was not
// synced) and EnvWrapper lets them replace only the calls they need.
// Every implementation is safe to call from any thread.
class Env {
 public:
  Env() = default;
  virtual ~Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // The system's environment; never destroyed.
  static Env* Default();

  // Milliseconds of a monotonic clock.
  virtual uint64_t MonotonicMillis() = 0;
  // Whole seconds since 1970-01-01 00:00:00 UTC.
  virtual uint64_t UnixTimeSeconds() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // Waits until `event` is set (true, the signal consumed) or `timeout_ms`
  // of this environment's clock have passed (false).
  virtual bool WaitForEvent(Event* event, uint32_t timeout_ms) = 0;
  // MonotonicMillis truncated to 32 bits (wraps; compare by subtraction).
  uint32_t TickCount() { return static_cast<uint32_t>(MonotonicMillis()); }

  // Starts `fn` on a new detached thread; false (fn not run) on failure.
  virtual bool StartThread(std::function<void()> fn) = 0;

  // Opens a file for reading, shared, as port::OpenFileShared(path, "rb").
  virtual std::FILE* OpenForReading(const std::string& path) = 0;
  virtual bool FileSize(const std::string& path, uint64_t* size) = 0;
  virtual bool FileModifiedTime(const std::string& path, int64_t* nanoseconds) = 0;
  virtual bool ReadWholeFile(const std::string& path, std::string* out) = 0;
  virtual bool IsRegularFile(const std::string& path) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
  virtual bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out) = 0;

  // Opens `path` for writing. A file this call creates gets `permissions`,
  // and *created (when given) tells whether it did.
  virtual bool NewWritableFile(const std::string& path, WriteMode mode, unsigned permissions,
                               std::unique_ptr<WritableFile>* file, bool* created = nullptr) = 0;
  // As port::CreateDirectories.
  virtual bool CreateDirectories(const std::string& path, unsigned mode) = 0;
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  virtual bool LinkFile(const std::string& from, const std::string& to) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Makes the names in `dir` (created, renamed, removed) durable.
  virtual bool SyncDirectory(const std::string& dir) = 0;

  // Replaces the file's content durably: a temporary file beside it is
  // written, synced and renamed over it, and the folder synced, so a crash
  // leaves the old content or the new. True only once all of that is done.
  bool WriteFileReplacing(const std::string& path, const std::string& text,
                          unsigned permissions = 0600);
  // CreateDirectories, and the folders it created synced into their
  // parents, so that they survive a power loss with what is put in them.
  bool CreateDirectoriesDurably(const std::string& path, unsigned mode);
};

// Forwards every call to another environment.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  uint64_t MonotonicMillis() override { return target_->MonotonicMillis(); }
  uint64_t UnixTimeSeconds() override { return target_->UnixTimeSeconds(); }
  void SleepMs(uint32_t ms) override { target_->SleepMs(ms); }
  bool WaitForEvent(Event* event, uint32_t timeout_ms) override {
    return target_->WaitForEvent(event, timeout_ms);
  }
  bool StartThread(std::function<void()> fn) override {
    return target_->StartThread(std::move(fn));
  }
  std::FILE* OpenForReading(const std::string& path) override {
    return target_->OpenForReading(path);
  }
  bool FileSize(const std::string& path, uint64_t* size) override {
    return target_->FileSize(path, size);
  }
  bool FileModifiedTime(const std::string& path, int64_t* nanoseconds) override {
    return target_->FileModifiedTime(path, nanoseconds);
  }
  bool ReadWholeFile(const std::string& path, std::string* out) override {
    return target_->ReadWholeFile(path, out);
  }
  bool IsRegularFile(const std::string& path) override { return target_->IsRegularFile(path); }
  bool IsDirectory(const std::string& path) override { return target_->IsDirectory(path); }
  bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out) override {
    return target_->ListDirectory(dir, out);
  }
  bool NewWritableFile(const std::string& path, WriteMode mode, unsigned permissions,
                       std::unique_ptr<WritableFile>* file, bool* created = nullptr) override {
    return target_->NewWritableFile(path, mode, permissions, file, created);
  }
  bool CreateDirectories(const std::string& path, unsigned mode) override {
    return target_->CreateDirectories(path, mode);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return target_->RenameFile(from, to);
  }
  bool LinkFile(const std::string& from, const std::string& to) override {
    return target_->LinkFile(from, to);
  }
  bool RemoveFile(const std::string& path) override { return target_->RemoveFile(path); }
  bool SyncDirectory(const std::string& dir) override { return target_->SyncDirectory(dir); }

 private:
  Env* const target_;
};

// The environment of the process-wide modules (the engine, the resume store,
// the login): Env::Default() unless a test installed another.
Env* CurrentEnv();
// Installs `env` (null: the default) and returns the one it replaces. The
// caller keeps `env` alive until it is replaced again.
Env* TEST_SetCurrentEnv(Env* env);

}  // namespace vexa::port

#endif  // VEXA_PORT_ENV_H_

#include "port/env.h"

#include <atomic>

#include "port/clock.h"
#include "port/event.h"
#include "port/last_error.h"
#include "port/thread.h"

// The system's environment, made of the free functions of each platform's
// clock, thread and file sources.
namespace vexa::port {
namespace {

// ERROR_FILE_EXISTS.
constexpr uint32_t kErrorFileExists = 80;

class StdioWritableFile final : public WritableFile {
 public:
  explicit StdioWritableFile(std::FILE* f) : f_(f) {}
  ~StdioWritableFile() override {
    if (f_ != nullptr) std::fclose(f_);
  }

  bool WriteAt(uint64_t offset, std::string_view data) override {
    if (!Seek64(f_, offset)) return false;
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f_) != data.size()) {
      SetLastErrorFromErrno();
      return false;
    }
    return true;
  }
  bool Truncate(uint64_t size) override { return TruncateFile(f_, size); }
  bool Size(uint64_t* size) override {
    if (std::fflush(f_) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
    return SeekEnd64(f_) && Tell64(f_, size);
  }
  void StartSync() override { StartFileSync(f_); }
  bool Sync() override { return SyncFile(f_); }
  bool Close() override {
    std::FILE* f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0) {
      SetLastErrorFromErrno();
      return false;
    }
    return true;
  }

 private:
  std::FILE* f_;
};

class SystemEnv final : public Env {
 public:
  uint64_t MonotonicMillis() override { return port::MonotonicMillis(); }
  uint64_t UnixTimeSeconds() override { return port::UnixTimeSeconds(); }
  void SleepMs(uint32_t ms) override { port::SleepMs(ms); }
  bool WaitForEvent(Event* event, uint32_t timeout_ms) override { return event->Wait(timeout_ms); }
  bool StartThread(std::function<void()> fn) override { return StartDetachedThread(std::move(fn)); }
  std::FILE* OpenForReading(const std::string& path) override { return OpenFileShared(path, "rb"); }
  bool FileSize(const std::string& path, uint64_t* size) override { return FileSize64(path, size); }
  bool FileModifiedTime(const std::string& path, int64_t* nanoseconds) override {
    return port::FileModifiedTime(path, nanoseconds);
  }
  bool ReadWholeFile(const std::string& path, std::string* out) override {
    return port::ReadWholeFile(path, out);
  }
  bool IsRegularFile(const std::string& path) override { return port::IsRegularFile(path); }
  bool IsDirectory(const std::string& path) override { return port::IsDirectory(path); }
  bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out) override {
    return port::ListDirectory(dir, out);
  }
  bool NewWritableFile(const std::string& path, WriteMode mode, unsigned permissions,
                       std::unique_ptr<WritableFile>* file, bool* created) override {
    // POSIX has "x" for an exclusive create, the Windows C library has not:
    // the test beforehand can only race another creator, and the file store
    // has one writer per file.
    if (mode == WriteMode::kCreateNew && PathExists(path)) {
      SetLastError(kErrorFileExists);
      return false;
    }
    const bool existed = mode != WriteMode::kCreateNew && PathExists(path);
    std::FILE* f = OpenFileShared(path, mode == WriteMode::kExisting ? "r+b" : "wb");
    if (f == nullptr) return false;
    if (!existed) SetPermissions(path, permissions);
    if (created != nullptr) *created = !existed;
    *file = std::make_unique<StdioWritableFile>(f);
    return true;
  }
  bool CreateDirectories(const std::string& path, unsigned mode) override {
    return port::CreateDirectories(path, mode);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return port::RenameFile(from, to);
  }
  bool LinkFile(const std::string& from, const std::string& to) override {
    return port::LinkFile(from, to);
  }
  bool RemoveFile(const std::string& path) override { return port::RemoveFile(path); }
  bool SyncDirectory(const std::string& dir) override { return port::SyncDirectory(dir); }
};

std::atomic<Env*> current_env{nullptr};

std::string FolderOf(const std::string& path) {
  const size_t pos = path.rfind(kPathSeparator);
  return pos == std::string::npos ? std::string(".") : path.substr(0, pos + 1);
}

}  // namespace

Env* Env::Default() {
  static Env* env = new SystemEnv();
  return env;
}

bool Env::WriteFileReplacing(const std::string& path, const std::string& text,
                             unsigned permissions) {
  const std::string tmp = path + ".tmp";
  std::unique_ptr<WritableFile> f;
  if (!NewWritableFile(tmp, WriteMode::kReplace, permissions, &f)) return false;
  bool ok = f->WriteAt(0, text) && f->Sync();
  ok = f->Close() && ok;
  if (ok) ok = RenameFile(tmp, path);
  if (!ok) {
    RemoveFile(tmp);  // Ignore error: the failure above is the one to report
    return false;
  }
  // Until the folder is synced the rename may not survive a power loss, and
  // the old content would come back.
  return SyncDirectory(FolderOf(path));
}

bool Env::CreateDirectoriesDurably(const std::string& path, unsigned mode) {
  std::vector<std::string> fresh;  // outermost first
  for (size_t at = path.find(kPathSeparator, 1); at != std::string::npos;
       at = path.find(kPathSeparator, at + 1)) {
    std::string dir = path.substr(0, at);
    if (!IsDirectory(dir)) fresh.push_back(std::move(dir));
  }
  if (!CreateDirectories(path, mode)) return false;
  for (const std::string& dir : fresh) {
    if (!SyncDirectory(FolderOf(dir))) return false;
  }
  return true;
}

Env* CurrentEnv() {
  Env* env = current_env.load(std::memory_order_acquire);
  return env != nullptr ? env : Env::Default();
}

Env* TEST_SetCurrentEnv(Env* env) {
  Env* old = current_env.exchange(env, std::memory_order_acq_rel);
  return old != nullptr ? old : Env::Default();
}

}  // namespace vexa::port

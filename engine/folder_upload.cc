#include "engine/folder_upload.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "account/ini_file.h"
#include "account/session.h"
#include "codec/text.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "engine/folder_listing.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/mutex.h"
#include "store/error_table.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

// Failures of a folder as a whole, stored under its own path (GBK).
// 空文件夹不能上传
constexpr char kEmptyFolderText[] =
    "\xBF\xD5\xCE\xC4\xBC\xFE\xBC\xD0\xB2\xBB\xC4\xDC\xC9\xCF\xB4\xAB";
// 获取文件夹列表失败
constexpr char kListFailedText[] =
    "\xBB\xF1\xC8\xA1\xCE\xC4\xBC\xFE\xBC\xD0\xC1\xD0\xB1\xED\xCA\xA7\xB0\xDC";

struct FolderRequest {
  std::string folderPath;
  std::string target;
  std::string userId;  // of the session that asked
  int32_t ispType = 0;
  bool autoStart = false;
};

// The folders whose listing thread runs: a second request for one of them
// must neither start another thread nor mistake the half-built record for an
// empty folder.
struct FolderThreads {
  std::mutex mu;
  std::condition_variable done;
  std::set<std::string> running;
  std::function<void()> listedHook;
  std::function<void()> registeringHook;
};

FolderThreads& Threads() {
  static FolderThreads* threads = new FolderThreads();
  return *threads;
}

// Serialises the registration of members between folder threads (so one
// folder's members are queued together) and with folder stops and cancels.
port::Mutex& FolderAddMutex() { return engine_internal::Engine().folderAddMutex; }

// Whether the start and the session that asked for the folder still run: a
// logout while a large folder is listed must not queue it into the next one.
bool SameSession(const FolderRequest& r, const engine_internal::EngineRun& run) {
  return !run.ended.load() && IsEngineStarted() && IsLoggedIn() && GetUserId() == r.userId;
}

TaskStatus StatusOf(const FolderRecord& folder) {
  return static_cast<TaskStatus>(folder.status.load());
}

// Records a failure of the folder itself, then reports it, so a reader woken
// by the report finds the text.
void FailFolder(const FolderRef& folder, const std::string& text) {
  {
    port::MutexLock l(&folder->lock);
    folder->failures[folder->folderPath] = text;
  }
  NotifyFolderStatus(folder, TaskStatus::Failed);
}

struct ListingMark {
  FolderRecord* folder;
  void Start() const { folder->filesFound.store(0); }
  void End() const { folder->filesFound.store(-1); }
  ~ListingMark() { End(); }
};

void FolderWorker(const FolderRequest& r, const engine_internal::EngineRun& run) {
  const TaskStatus initial = r.autoStart ? TaskStatus::Waiting : TaskStatus::Stopped;
  // Taken before the listing: a cancel of the folder while it is listed
  // refuses the member records saved after it.
  const uint64_t ticket = ResumeStoreTicket();
  auto folder = std::make_shared<FolderRecord>();
  folder->folderPath = r.folderPath;

  // Members left by an earlier upload of the same folder come back as they
  // were; otherwise the folder is listed.
  int64_t total = 0;
  int64_t uploaded = 0;
  std::string stored_target;
  std::vector<std::string> paths;
  bool complete_set = true;
  CollectFolderRecords(r.folderPath, &total, &uploaded, &stored_target, &paths, &complete_set,
                       true);
  // A set whose writing was cut short (a crash) is not the whole folder: it
  // is listed again, and its members that have a record keep what it knows.
  const bool relist = !complete_set;
  if (relist) paths.clear();
  const bool fresh = paths.empty();
  folder->target = fresh && stored_target.empty() ? r.target : stored_target;
  if (!fresh) {
    folder->totalSize.store(total);
    folder->uploadedSize.store(uploaded);
    port::MutexLock l(&folder->lock);  // not shared yet; taken for the analysis
    folder->memberCount = static_cast<int32_t>(paths.size());
    folder->pendingPaths = paths;
  }
  if (!SameSession(r, run) || !RegisterFolder(folder)) return;

  // Ends the folder's listing mark on every way out, once its size is known
  // (or it will never be).
  ListingMark listing{folder.get()};
  std::vector<ResumeRecord> records(paths.size());
  // Members whose identities, pick code and progress come from their record.
  std::vector<bool> known(paths.size(), !fresh);
  if (fresh) {
    // Hosts show the count found while the folder's size is still unknown.
    listing.Start();
    NotifyFolderStatus(folder, initial);
    if (folder->target.empty()) {
      // Its members could never be placed: fail now rather than queue them for ever.
      FailFolder(folder, ErrorMessageText(kErrNoTarget));
      return;
    }
    // A stop ends a long listing early; what was found is then dropped.
    const auto keep_going = [&r, &run, &folder, &paths] {
      folder->filesFound.store(static_cast<int64_t>(paths.size()));
      return SameSession(r, run);
    };
    if (!ListFolderFiles(r.folderPath, &paths, keep_going)) {
      listing.End();
      if (SameSession(r, run)) FailFolder(folder, kListFailedText);
      return;
    }
    if (!SameSession(r, run)) return;
    folder->filesFound.store(static_cast<int64_t>(paths.size()));
    records.resize(paths.size());
    known.assign(paths.size(), false);
    int64_t sum = 0;
    int64_t done = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
      ResumeRecord stored;
      if (relist && ReadResumeRecord(paths[i], &stored) && stored.folderPath == r.folderPath) {
        records[i] = stored;
        known[i] = true;
        done += stored.uploadedSize;
      }
      uint64_t size = 0;
      if (!known[i] && port::FileSize64(paths[i], &size))
        records[i].fileSize = static_cast<int64_t>(size);
      sum += records[i].fileSize;
    }
    port::MutexLock l(&folder->lock);
    folder->memberCount = static_cast<int32_t>(paths.size());
    folder->totalSize.store(sum);
    folder->uploadedSize.store(done);
    folder->pendingPaths = paths;
  } else {
    for (size_t i = 0; i < paths.size(); ++i) ReadResumeRecord(paths[i], &records[i]);
  }
  std::function<void()> hook;
  {
    FolderThreads& threads = Threads();
    std::lock_guard<std::mutex> l(threads.mu);
    hook = threads.listedHook;
  }
  if (hook) hook();
  // The folder may have been cancelled or stopped while it was listed, or the
  // engine stopped: a listing it interrupted leaves nothing behind.
  if (!SameSession(r, run) || FindFolder(r.folderPath) != folder ||
      StatusOf(*folder) == TaskStatus::Cancelled) {
    return;
  }
  const TaskStatus status =
      StatusOf(*folder) == TaskStatus::Stopped ? TaskStatus::Stopped : initial;
  if (paths.empty()) {
    FailFolder(folder, kEmptyFolderText);
    return;
  }
  NotifyFolderStatus(folder, status);  // now with its total size
  listing.End();

  const bool storable_folder =
      IniFile::IsStorableValue(r.folderPath) && IniFile::IsStorableValue(folder->target);
  std::vector<std::unique_ptr<UploadTask>> tasks;
  tasks.reserve(paths.size());
  bool saved = false;
  std::vector<std::string> saved_paths;
  for (size_t i = 0; i < paths.size(); ++i) {
    auto task = std::make_unique<UploadTask>();
    task->storeTicket = ticket;
    task->ispType = r.ispType;
    task->folderPath = r.folderPath;
    task->folderTarget = folder->target;
    task->filePath = paths[i];
    task->fileSize = records[i].fileSize;
    if (known[i]) {
      port::MutexLock l(&task->lock);  // not shared yet; taken for the analysis
      task->fileId = records[i].fileId;
      task->quickId = records[i].quickId;
      task->pickCode = records[i].pickCode;
      task->uploadedSize.store(records[i].uploadedSize);
      task->modifiedTime = records[i].modifiedTime;
    }
    if (!storable_folder || !IniFile::IsStorable(paths[i])) {
      // The store's line format cannot hold it: an upload that could never
      // be resumed fails at once, counted by its folder.
      task->errorCode.store(static_cast<int32_t>(port::kErrorInvalidName));
      (void)SetTaskStatus(task.get(), TaskStatus::Failed, true);  // false only if the folder went
      continue;
    }
    if (FindTask(paths[i])) {
      // Queued already, on its own or in another folder: counted as failed,
      // so the folder ends (adding it again retries the member), and the
      // queued upload keeps its record.
      task->errorCode.store(kErrAlreadyQueued);
      (void)SetTaskStatus(task.get(), TaskStatus::Failed, true);  // false only if the folder went
      continue;
    }
    (void)SetTaskStatus(task.get(), status, false);  // false only if the folder went: seen below
    // Written as part of a set until the whole set is: a crash in between
    // leaves records that say so, and the folder is listed again.
    ResumeRecord record = ResumeRecordOf(*task);
    record.folderSetComplete = false;
    if (SaveResumeRecord(task->filePath, record, false, task->storeTicket)) {
      saved = true;
      saved_paths.push_back(task->filePath);
    }
    tasks.push_back(std::move(task));
  }
  CompleteFolderSet(saved_paths, ticket);
  {
    port::MutexLock l(&folder->lock);
    for (const auto& t : tasks) folder->dirTargets.try_emplace(DirectoryOf(t->filePath));
  }
  {
    // A stopped member is refused here: with auto-start off only the record
    // and the resume records remain. A stop of the folder that comes now
    // ends the registration.
    port::MutexLock l(&FolderAddMutex());
    std::function<void()> registering;
    {
      FolderThreads& threads = Threads();
      std::lock_guard<std::mutex> g(threads.mu);
      registering = threads.registeringHook;
    }
    for (auto& t : tasks) {
      const TaskStatus now = StatusOf(*folder);
      if (!SameSession(r, run) || now == TaskStatus::Stopped || now == TaskStatus::Cancelled) break;
      if (registering) registering();
      // A member it refuses is failed and counted there, or stays stopped
      // (started stopped, or the engine stopped meanwhile).
      (void)AddFolderMember(t);
    }
  }
  // A cancel that came while the records were being saved removed them
  // before some were written; the members it stopped from joining the queue
  // must not leave their records behind.
  bool removed = false;
  if (StatusOf(*folder) == TaskStatus::Cancelled && IsResumeStoreOpen()) {
    for (const auto& t : tasks) {
      if (!t) continue;
      RemoveResumeRecord(t->filePath);
      removed = true;
    }
    if (removed) MarkResumeStoreDirty(false);
  }
  tasks.clear();
  if ((saved || removed) && IsResumeStoreOpen()) WakeResumeWriter();
}

void RunFolderWorker(const FolderRequest& r, const engine_internal::EngineRun& run) {
  FolderWorker(r, run);
  FolderThreads& threads = Threads();
  {
    std::lock_guard<std::mutex> l(threads.mu);
    threads.running.erase(r.folderPath);
  }
  threads.done.notify_all();
}

// The members a known folder queues again: its unfinished members or, when
// none is left, those that failed. Their old failures are forgotten and the
// failed count follows, so the folder is reported finished only once they
// have ended again.
std::vector<std::string> TakeRequeued(FolderRecord* folder) {
  port::MutexLock l(&folder->lock);
  std::vector<std::string> paths;
  for (const std::string& p : folder->pendingPaths) {
    if (folder->finalFailures.count(p) == 0) paths.push_back(p);
  }
  if (paths.empty()) {
    // Members that failed for good are not tried again.
    for (const auto& [path, text] : folder->failures) {
      if (path != folder->folderPath && folder->finalFailures.count(path) == 0)
        paths.push_back(path);
    }
    folder->pendingPaths.insert(folder->pendingPaths.end(), paths.begin(), paths.end());
  }
  if (paths.empty()) return paths;
  for (const std::string& p : paths) folder->failures.erase(p);
  folder->failures.erase(folder->folderPath);
  folder->failedCount = static_cast<int32_t>(folder->failures.size());
  return paths;
}

bool IsPartialSet(const FolderRecord& folder) {
  port::MutexLock l(&folder.lock);
  return folder.partialSet;
}

// Whether the member that marked a directory pending may still create it:
// it is queued or running. Called under the engine lock (the scheduler's
// pass), so the member cannot leave the registry while this looks.
bool IsCreating(const std::string& creator) {
  engine_internal::Engine().engineMutex.AssertHeld();
  bool creating = false;
  FindTask(creator, [&](UploadTask& task) {
    const TaskStatus s = task.GetStatus();
    creating = s == TaskStatus::Waiting || s == TaskStatus::Hashing || s == TaskStatus::Uploading;
  });
  return creating;
}

// Clears the pending marks on `directory` and above that a member left behind
// when it was stopped or cancelled before its dispatch answered; else the
// members below would wait for ever. A mark of the asking member itself is
// from an attempt that is over.
void ReleaseAbandonedMarks(FolderRecord* folder, const std::string& directory,
                           const std::string& asking) {
  std::vector<std::pair<std::string, std::string>> marks;  // directory, creator
  {
    port::MutexLock l(&folder->lock);
    for (std::string x = directory; !x.empty() && x != folder->folderPath; x = DirectoryOf(x)) {
      auto it = folder->dirTargets.find(x);
      if (it != folder->dirTargets.end() && it->second.identity.empty() && it->second.pending &&
          !it->second.creator.empty()) {
        marks.emplace_back(x, it->second.creator);
      }
    }
  }
  // The task lookup takes the engine lock, never under a folder's lock.
  for (const auto& [dir, creator] : marks) {
    if (creator != asking && IsCreating(creator)) continue;
    port::MutexLock l(&folder->lock);
    auto it = folder->dirTargets.find(dir);
    if (it != folder->dirTargets.end() && it->second.identity.empty() &&
        it->second.creator == creator) {
      it->second.pending = false;
      it->second.creator.clear();
    }
  }
}

}  // namespace

void InstallFolderUploads() {
  SetFolderUploadStarter(StartFolderUpload);
  SetTargetResolver(ResolveTarget);
}

bool StartFolderUpload(const std::string& folder_path, const std::string& target, int32_t isp_type,
                       bool auto_start) {
  FolderThreads& threads = Threads();
  std::unique_lock<std::mutex> l(threads.mu);
  if (threads.running.count(folder_path) != 0) return true;
  FolderRef folder = FindFolder(folder_path);
  if (folder && IsPartialSet(*folder)) {
    // Its records are not the whole folder: list it again.
    (void)RemoveFolder(folder);  // false only for null
    folder.reset();
  }
  if (folder) {
    const std::vector<std::string> paths = TakeRequeued(folder.get());
    if (!paths.empty()) {
      // Not under the threads' lock: AddFileTask waits for a stop in
      // progress, and the stop waits for listing threads, which take it.
      l.unlock();
      NotifyFolderStatus(folder, TaskStatus::Waiting);
      // Each member's folder, targets and progress come from its resume
      // record; the folder's own values serve a member that has none.
      for (const std::string& p : paths) {
        NoteResumeRecordFailure(p, 0);  // tried again: no longer failed
        AddFileTask(p, "", 0, folder->folderPath, folder->target, true);
      }
      return true;
    }
    // It failed as a whole (empty, unreadable, no target): list it again, as
    // it may have changed since.
    (void)RemoveFolder(folder);  // false only for null
  }
  FolderRequest request;
  request.folderPath = folder_path;
  request.target = target;
  request.userId = GetUserId();
  request.ispType = isp_type;
  request.autoStart = auto_start;
  threads.running.insert(folder_path);
  // A thread of this start: StopEngine waits for it, so no listing reaches
  // into the closed store or the next start's folders.
  if (engine_internal::StartRunThread(
          [request](const std::shared_ptr<engine_internal::EngineRun>& run) {
            RunFolderWorker(request, *run);
          },
          &engine_internal::UploadEngine::folderListingsRunning)) {
    return true;
  }
  threads.running.erase(folder_path);
  return false;
}

bool ResolveTarget(UploadTask* task, const std::string& directory, std::string* remote_path,
                   std::string* target) {
  engine_internal::Engine().engineMutex.AssertHeld();
  if (task == nullptr) return false;
  FolderRef folder = FindFolder(task->folderPath);
  if (!folder) return false;
  if (directory == folder->folderPath) {
    // A file directly in the folder goes into the folder's own remote folder.
    *remote_path = FileNameOf(directory);
    *target = folder->target;
    return true;
  }
  ReleaseAbandonedMarks(folder.get(), directory, task->filePath);

  port::MutexLock l(&folder->lock);
  auto entry = folder->dirTargets.find(directory);
  if (entry == folder->dirTargets.end()) return false;
  *target = entry->second.identity;
  if (!target->empty() || entry->second.pending || !AncestorsReady(*folder, directory)) return true;

  // Walk up to the nearest directory the service has named (or the folder
  // itself); the names passed on the way are created by this member.
  std::vector<std::string> names{FileNameOf(directory)};
  std::string base;
  std::string x = DirectoryOf(directory);
  for (;; x = DirectoryOf(x)) {
    if (x.empty()) return false;
    if (x == folder->folderPath) {
      names.push_back(FileNameOf(x));
      base = folder->target;
      break;
    }
    auto known = folder->dirTargets.find(x);
    if (known != folder->dirTargets.end() && !known->second.identity.empty()) {
      base = known->second.identity;
      break;
    }
    names.push_back(FileNameOf(x));
  }
  *target = base;
  if (base.empty()) return true;
  remote_path->clear();
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!remote_path->empty()) remote_path->push_back('/');
    *remote_path += *it;
  }
  entry->second.pending = true;
  entry->second.creator = task->filePath;
  return true;
}

bool AncestorsReady(const FolderRecord& folder, const std::string& directory)
    REQUIRES(folder.lock) {
  for (std::string x = DirectoryOf(directory); !x.empty() && x != folder.folderPath;
       x = DirectoryOf(x)) {
    auto it = folder.dirTargets.find(x);
    if (it != folder.dirTargets.end() && it->second.identity.empty() && it->second.pending) {
      return false;
    }
  }
  return true;
}

void TEST_SetFolderRegisteringHook(std::function<void()> hook) {
  FolderThreads& threads = Threads();
  std::lock_guard<std::mutex> l(threads.mu);
  threads.registeringHook = std::move(hook);
}

void TEST_SetFolderListedHook(std::function<void()> hook) {
  FolderThreads& threads = Threads();
  std::lock_guard<std::mutex> l(threads.mu);
  threads.listedHook = std::move(hook);
}

bool TEST_WaitForFolderUploads(uint32_t timeout_ms) {
  FolderThreads& threads = Threads();
  std::unique_lock<std::mutex> l(threads.mu);
  return threads.done.wait_for(l, std::chrono::milliseconds(timeout_ms),
                               [&threads] { return threads.running.empty(); });
}

}  // namespace vexa

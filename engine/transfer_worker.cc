#include "engine/transfer_worker.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "account/session.h"
#include "account/space.h"
#include "codec/sha1.h"
#include "engine/engine.h"
#include "engine/folder.h"
#include "engine/service_cancel.h"
#include "net/http_client.h"
#include "net/network_failure.h"
#include "net/parsed_url.h"
#include "port/env.h"
#include "port/file.h"
#include "port/last_error.h"
#include "port/mutex.h"
#include "port/thread.h"
#include "protocol/chunk_post.h"
#include "protocol/dispatch_request.h"
#include "protocol/range_connection.h"
#include "protocol/transfer_request.h"
#include "store/resume_store.h"

namespace vexa {
namespace {

constexpr uint32_t kRetryPauseMs = 1000;
// The shortest pause between two files, whatever the login asks for.
constexpr double kMinTimeLimit = 0.5;
// Waits are cut into slices this long so a stop ends them promptly.
constexpr uint32_t kWaitSliceMs = 50;
// Range answers in a row that do not move the service's offset before the
// transfer is given up instead of sending the same range for ever.
constexpr int kMaxStalledRanges = 3;

// Serialises the dispatch phase of folder members, so the remote folder a
// member's dispatch creates is recorded before the next member asks.
port::Mutex& DispatchMutex() {
  static port::Mutex* mu = new port::Mutex();
  return *mu;
}

bool IsHalted(TaskStatus s) { return s == TaskStatus::Stopped || s == TaskStatus::Cancelled; }

// What a step of the worker came to: go on, or end the run. A run ends
// failed with `code` (and the service's message, GBK, when it refused), or
// without a code when the task was stopped, cancelled or logged out, or
// nothing is left to send.
struct [[nodiscard]] Step {
  static Step Next() { return {}; }
  static Step End() { return {true, 0, {}}; }
  static Step Fail(int32_t code, std::string text = {}) { return {true, code, std::move(text)}; }
  bool ok() const { return !ended; }

  bool ended = false;
  int32_t code = 0;
  std::string text;
};

// A folder record as the range sender sees it.
class FolderView : public FolderProgress {
 public:
  explicit FolderView(FolderRef folder) : folder_(std::move(folder)) {}
  void UpdateBytes(const std::function<void(FolderBytes*)>& change) override {
    port::MutexLock l(&folder_->lock);
    FolderBytes b;
    b.totalSize = folder_->totalSize.load();
    b.uploadedSize = folder_->uploadedSize.load();
    b.sentSinceStart = folder_->sentSinceStart.load();
    change(&b);
    folder_->uploadedSize.store(b.uploadedSize);
    folder_->sentSinceStart.store(b.sentSinceStart);
  }

 private:
  FolderRef folder_;
};

// Moves a folder's counters by the given amounts, keeping them within
// 0..total.
void MoveFolderBytes(FolderProgress& folder, int64_t uploaded, int64_t sent) {
  folder.UpdateBytes([uploaded, sent](FolderBytes* b) {
    b->uploadedSize =
        std::clamp<int64_t>(b->uploadedSize + uploaded, 0, std::max<int64_t>(b->totalSize, 0));
    b->sentSinceStart = std::max<int64_t>(b->sentSinceStart + sent, 0);
  });
}

// The worker's task as the upload requests see it.
class TaskJob : public UploadJob {
 public:
  explicit TaskJob(UploadTask* task) : task_(task) {}

  JobFields Fields() const override { return JobFieldsOf(*task_); }
  JobState State() const override {
    switch (task_->GetStatus()) {
      case TaskStatus::Uploading:
        return JobState::kUploading;
      case TaskStatus::Cancelled:
        return JobState::kCancelled;
      default:
        return JobState::kOther;
    }
  }
  // Only this worker's thread sets the task's transfer, so it reads it
  // without the lock its writes take.
  TransferContext* Transfer() const override NO_THREAD_SAFETY_ANALYSIS {
    return task_->transfer.get();
  }
  // Kept for the worker's step that asked, which decides what it means.
  void SetRefusal(int32_t code, const std::string& message) override {
    refusal_ = Step::Fail(code, message);
  }
  // The service's refusal of the last request, if it refused it; taken once.
  std::optional<Step> TakeRefusal() { return std::exchange(refusal_, std::nullopt); }
  void SetQuickUpload() override {
    port::MutexLock l(&task_->lock);
    task_->workerFlag.store(true);
  }
  void AdoptPickCode(const std::string& pick_code) override {
    port::MutexLock l(&task_->lock);
    if (task_->pickCode.empty()) task_->pickCode = pick_code;
  }
  void RecordFolderTarget(const std::string& identity) override {
    if (task_->folderPath.empty()) return;
    // False only when the folder is gone: nobody is left to use the target.
    (void)RecordDirectoryTarget(task_->folderPath, DirectoryOf(task_->filePath), identity);
  }
  // The folder follows the task by the same amount, so that an offset the
  // service moved is shown in the folder's row as well.
  void SetUploadedSize(int64_t size) override {
    int64_t delta;
    {
      port::MutexLock l(&task_->lock);
      delta = size - task_->uploadedSize.load();
      task_->uploadedSize.store(size);
    }
    if (delta == 0) return;
    if (std::shared_ptr<FolderProgress> folder = FindFolder()) MoveFolderBytes(*folder, delta, 0);
  }
  void AddSentBytes(int64_t n) override {
    port::MutexLock l(&task_->lock);
    task_->uploadedSize.fetch_add(n);
    if (task_->transfer) task_->transfer->bytesSent += n;
  }
  std::shared_ptr<FolderProgress> FindFolder() override {
    if (task_->folderPath.empty()) return nullptr;
    FolderRef folder = vexa::FindFolder(task_->folderPath);
    if (!folder) return nullptr;
    return std::make_shared<FolderView>(std::move(folder));
  }

 private:
  UploadTask* const task_;
  std::optional<Step> refusal_;
};

// What the worker compares to tell whether the file changed under it.
struct FileStamp {
  uint64_t size = 0;
  int64_t modified = 0;
  bool operator==(const FileStamp&) const = default;
};

// False, with the system's error code in *error, when the file cannot be read.
bool ReadFileStamp(const std::string& path, FileStamp* stamp, int32_t* error) {
  if (port::CurrentEnv()->FileSize(path, &stamp->size) &&
      port::CurrentEnv()->FileModifiedTime(path, &stamp->modified))
    return true;
  *error = static_cast<int32_t>(port::LastError());
  return false;
}

// One run of the worker over its task, from hashing to FinishTask.
class Worker {
 public:
  explicit Worker(UploadTask* task) : task_(task), job_(task) {}

  void Run() {
    const Step outcome = Transfer();
    // The connection goes back to the cache unless ranges are left on it.
    if (!flight_.empty() || (link_ && link_->in_flight() > 0)) Abandon();
    link_.reset();
    End(outcome);
    (void)FinishTask(task_);  // false only for a null task
  }

 private:
  // The steps before the end phase, the first that ends the run deciding
  // how it ends.
  Step Transfer() {
    Step s = TakeStamp();
    if (s.ok() && task_->GetStatus() == TaskStatus::Hashing) s = Hash();
    if (!s.ok()) return s;
    SaveRecordWhileRunning(false);
    s = Halted() ? Step::End() : Prepare();
    if (s.ok()) s = PaceAskingForSpace();
    if (s.ok()) s = Dispatch();
    if (!s.ok()) return s;
    // The pick code is what lets a later run resume: written at once for a file
    // of more than one range, so a crash does not make it start over.
    SaveRecordWhileRunning(!task_->workerFlag.load() && task_->fileSize > kMaxRangeBytes);
    if (!task_->folderPath.empty()) folder_ = job_.FindFolder();
    s = Position();
    return s.ok() ? SendRanges() : s;
  }

  // Saves the task's resume record unless a stop or cancel has come. The
  // test and the save share the task's lock, which a cancel takes to change
  // the status before it removes the record, so a cancelled task's record
  // is never written again after its removal.
  void SaveRecordWhileRunning(bool wake) {
    port::MutexLock l(&task_->lock);
    if (!IsHalted(task_->GetStatus())) SaveRecord(wake);
  }

  // The store refuses only a record it must not keep: its login is over (the
  // store closed, or opened for the next login) or its upload was cancelled.
  // A value it cannot hold was refused when the task was added.
  void SaveRecord(bool wake) { (void)SaveTaskRecord(*task_, wake); }

  // A stopped or cancelled task, or a logged-out session, which stops it.
  bool Halted() {
    if (IsHalted(task_->GetStatus())) return true;
    if (IsLoggedIn()) return false;
    (void)SetTaskStatus(task_, TaskStatus::Stopped, true);  // false only when its folder is gone
    return true;
  }

  // Sleeps `ms`, in slices; ends the run as soon as the task is halted.
  Step Pause(uint32_t ms) {
    port::Env* env = port::CurrentEnv();
    const uint64_t end = env->MonotonicMillis() + ms;
    for (;;) {
      if (Halted()) return Step::End();
      const uint64_t now = env->MonotonicMillis();
      if (now >= end) return Step::Next();
      env->SleepMs(static_cast<uint32_t>(std::min<uint64_t>(end - now, kWaitSliceMs)));
    }
  }

  // The file as it is when this run starts. A record that kept the file's
  // time tells whether its identities, pick code and offset still describe
  // the file; without it (an older record) only a size that is no longer the
  // queued one is seen.
  Step TakeStamp() {
    int32_t error = 0;
    if (!ReadFileStamp(task_->filePath, &stamp_, &error)) return Step::Fail(error);
    if (stamp_.size != static_cast<uint64_t>(task_->fileSize)) return Step::Fail(kErrFileChanged);
    std::optional<int64_t> recorded;
    {
      port::MutexLock l(&task_->lock);
      recorded = task_->modifiedTime;
      task_->modifiedTime = stamp_.modified;
    }
    if (recorded && *recorded != stamp_.modified) return StartAfresh(true);
    return Step::Next();
  }

  // Forgets the service's session: the pick code and the offset, and with
  // `identities` the identities too. Returns the values it had.
  JobFields DropSession(bool identities) {
    const JobFields old = job_.Fields();
    {
      port::MutexLock l(&task_->lock);
      task_->pickCode.clear();
      if (identities) {
        task_->fileId.clear();
        task_->quickId.clear();
      }
    }
    job_.SetUploadedSize(0);
    return old;
  }

  // Uploads the file anew (hashed again with `identities`); the service's
  // old session is cancelled, so it keeps no half of it.
  Step StartAfresh(bool identities) {
    QueueServiceCancel(DropSession(identities));
    if (identities && !SetTaskStatus(task_, TaskStatus::Hashing, false)) return Step::End();
    return Step::Next();
  }

  Step FileUnchanged() {
    FileStamp now;
    int32_t error = 0;
    if (!ReadFileStamp(task_->filePath, &now, &error)) return Step::Fail(error);
    return now == stamp_ ? Step::Next() : Step::Fail(kErrFileChanged);
  }

  Step ComputeFileId() {
    uint32_t error = 0;
    std::string id;
    if (!Sha1FileHex(&error, OnHashProgress, task_->filePath, &id))
      return Step::Fail(static_cast<int32_t>(error));
    port::MutexLock l(&task_->lock);
    task_->fileId = id;
    return Step::Next();
  }

  // The identities the file's class asks for, each only when still missing.
  Step Hash() {
    const std::string& path = task_->filePath;
    const int size_class =
        IsTypeListed(path) ? 2 : ClassifyFileSize(static_cast<uint64_t>(task_->fileSize));
    bool need_quick, need_file;
    {
      port::MutexLock l(&task_->lock);
      need_quick = size_class != 0 && task_->quickId.empty();
      need_file = size_class != 1 && task_->fileId.empty();
    }
    if (need_quick) {
      uint32_t error = 0;
      std::string id;
      if (!QuickIdHex(path, &id, &error)) return Step::Fail(static_cast<int32_t>(error));
      port::MutexLock l(&task_->lock);
      task_->quickId = id;
    }
    return need_file ? ComputeFileId() : Step::Next();
  }

  Step Prepare() {
    std::unique_ptr<TransferState> state(new (std::nothrow) TransferState());
    if (!state) return Step::Fail(kErrNoMemory);
    state->file = port::CurrentEnv()->OpenForReading(task_->filePath);
    if (state->file == nullptr) return Step::Fail(static_cast<int32_t>(port::LastError()));
    state->chunkLength = std::min<int64_t>(kMaxRangeBytes, task_->fileSize);
    transfer_ = state.get();
    task_->SetTransfer(std::move(state));
    return EnterUploading();
  }

  // Ends the run when a stop or cancel came first.
  Step EnterUploading() {
    return SetTaskStatus(task_, TaskStatus::Uploading, false) ? Step::Next() : Step::End();
  }

  // The service's pause between files, never below the floor (kept in the
  // session so later workers see it too). It counts from the worker's start,
  // so the file's stamp, identities and record take none of their own time
  // between two files; the quota is asked for within it too.
  Step PaceAskingForSpace() {
    const uint64_t start = started_ms_;
    double limit = GetTimeLimit();
    if (limit < kMinTimeLimit) {
      UpdateAccountState([](AccountState* s) {
        if (s->timeLimit < kMinTimeLimit) s->timeLimit = kMinTimeLimit;
      });
      limit = kMinTimeLimit;
    }
    if (Step s = WaitForSpace(); !s.ok()) return s;
    const uint64_t pause = static_cast<uint64_t>(limit * 1000);
    const uint64_t spent = port::CurrentEnv()->MonotonicMillis() - start;
    return Pause(static_cast<uint32_t>(spent >= pause ? 0 : pause - spent));
  }

  // Asks for the quota until it is known; a failing query is asked again
  // every second for as long as the task runs, unless TLS refused the server.
  Step WaitForSpace() {
    for (;;) {
      if (Halted()) return Step::End();
      bool stop = false;
      if (CheckSpace(task_, &stop, TaskRequest())) return Step::Next();
      if (stop) return Step::Fail(kErrNoSpace);
      // A refused certificate is not network trouble that passes: fail as a
      // dispatch that could not be sent does, the refusal's text beside it.
      if (LastConnectionRefusedForSecurity()) return Step::Fail(kErrDispatchPost);
      if (Step s = Pause(kRetryPauseMs); !s.ok()) return s;
    }
  }

  // A request to the service that a stop or cancel of the task ends.
  RequestOptions TaskRequest() {
    RequestOptions o;
    o.abortCheck = [this] { return IsHalted(task_->GetStatus()) || !IsLoggedIn(); };
    return o;
  }

  Step Dispatch() {
    std::optional<port::MutexLock> folder_order;
    if (!job_.Fields().remotePath.empty()) folder_order.emplace(&DispatchMutex());
    std::string url, body;
    if (!BuildDispatchRequest(job_, &url, &body)) return Step::Fail(kErrDispatchBuild);
    std::optional<std::string> refused_file_id;
    for (;;) {
      std::string answer;
      const std::string sent_file_id = job_.Fields().fileId;
      if (!ProcessHttpClient().Post(url, body, TaskRequest(), &answer))
        return Step::Fail(kErrDispatchPost);
      if (ParseDispatchResponse(job_, answer)) return Step::Next();
      // A refusal keeps the service's code; an unreadable answer has none.
      const std::optional<Step> refusal = job_.TakeRefusal();
      const int32_t code = refusal ? refusal->code : 0;
      if ((code == kErrNoPickCode || code == kErrHashMismatch) && !restarted_) {
        // The service dropped the session the pick code named (it expired,
        // or its content did not match): upload anew, once.
        restarted_ = true;
        if (Step s = Restart(code == kErrHashMismatch); !s.ok()) return s;
        if (!BuildDispatchRequest(job_, &url, &body)) return Step::Fail(kErrDispatchBuild);
        continue;
      }
      if (code != kErrNeedsFileId) return refusal.value_or(Step::Fail(kErrDispatchAnswer));
      // The service wants the whole-file identity. Asked twice for the same
      // one, it refuses what it asked for: give up rather than loop.
      if (refused_file_id == sent_file_id) return *refusal;
      refused_file_id = sent_file_id;
      if (Halted() || !SetTaskStatus(task_, TaskStatus::Hashing, false)) return Step::End();
      Step s = ComputeFileId();
      if (s.ok()) s = EnterUploading();
      if (!s.ok()) return s;
      if (!BuildDispatchRequest(job_, &url, &body)) return Step::Fail(kErrDispatchBuild);
    }
  }

  // A dispatch again without the dead session; with `identities`, hashed anew.
  Step Restart(bool identities) {
    Step s = Halted() ? Step::End() : StartAfresh(identities);
    if (s.ok() && identities) s = Hash();
    if (s.ok() && identities) s = EnterUploading();
    if (s.ok()) SaveRecordWhileRunning(false);
    return s;
  }

  // Where the ranges start: nowhere for a quick upload, else the service's
  // offset when it may hold part of the file already.
  Step Position() {
    const JobFields f = job_.Fields();
    if (task_->workerFlag.load()) {
      job_.SetUploadedSize(f.fileSize);
      if (folder_) MoveFolderBytes(*folder_, 0, f.fileSize);
    } else if (!f.pickCode.empty()) {
      std::string url, answer;
      if (!BuildCheckUrl(job_, &url)) return Step::Fail(kErrCheckBuild);
      bool alone = false;
      if (!CheckWithRangeBehind(url, &answer, &alone) &&
          !(alone && ProcessHttpClient().Get(url, TaskRequest(), &answer))) {
        return Step::Fail(kErrCheckGet);
      }
      // The count holds what went of a range behind the check; the answer
      // sets it to the service's offset.
      const int64_t counted = task_->uploadedSize.load();
      if (!ParseCheckResponse(job_, answer)) {
        Abandon();
        return job_.TakeRefusal().value_or(Step::Fail(kErrCheckAnswer));
      }
      SettleRangeBehindCheck(counted);
    } else {
      job_.SetUploadedSize(0);  // the service holds nothing of a file it named no pick code for
    }
    if (!BuildBigUploadUrl(job_, &range_url_)) return Step::Fail(kErrRangeBuild);
    if (!task_->folderPath.empty()) {
      if (FolderRef folder = FindFolder(task_->folderPath)) {
        port::MutexLock l(&folder->lock);
        if (folder->startTick.load() <= 0) folder->startTick.store(port::CurrentEnv()->TickCount());
      }
    }
    // A range on its way behind the check begins below the file's end.
    complete_ = flight_.empty() && task_->uploadedSize.load() >= f.fileSize;
    return complete_ ? Step::End() : Step::Next();
  }

  // Asks for the service's offset with the first range sent right behind the
  // question on the connection the dispatch kept, from where the task's
  // count says the service is: no round trip of its own for the check. True
  // when the check was answered with a 200 (its body in `*answer`). False
  // with nothing left in flight otherwise; `*alone` then says whether the
  // check is still to be asked (it could not go this way, or the connection
  // failed under it) rather than failed (refused, timed out, stopped).
  bool CheckWithRangeBehind(const std::string& check_url, std::string* answer, bool* alone) {
    *alone = true;
    const ParsedUrl check = ParseUrl(check_url);
    const int64_t from = task_->uploadedSize.load();
    if (!BuildBigUploadUrl(job_, &range_url_)) return false;
    const ParsedUrl target = ParseUrl(range_url_);
    if (check.host != target.host || check.port != target.port || check.tls != target.tls)
      return false;
    link_ = std::make_unique<RangeConnection>(ProcessHttpClient(), job_, range_url_);
    PreparedRange question;
    question.head = ProcessHttpClient().GetRequest(check);
    // Read and hashed first, so that it goes right behind the check.
    RangeOnItsWay behind;
    const bool prepared = MaySendBehind(true, from) && PrepareNext(from, &behind.range);
    bool fatal = true;
    if (!link_->Send(question, &fatal)) {
      *alone = !fatal;
      Abandon();
      return false;
    }
    if (prepared && link_->reused()) {
      flight_.push_back(std::move(behind));
      flight_.back().sentAtTick = port::CurrentEnv()->TickCount();
      if (!link_->Send(flight_.back().range, &fatal)) {
        flight_.pop_back();
        TakeBack(link_->TakeDropped());
      }
    }
    ChunkCounts counts;
    if (link_->ReadAnswer(answer, &fatal, &counts)) return true;
    *alone = !fatal;
    // The connection broke with a range in flight: one at a time from now on.
    if (!fatal && !flight_.empty()) single_range_ = true;
    Abandon();
    return false;
  }

  // After the check's answer: the range behind it counts when the service is
  // where it begins; otherwise its answer is read and counts for nothing.
  void SettleRangeBehindCheck(int64_t counted) {
    if (flight_.empty()) return;
    if (link_->in_flight() > 0 && transfer_->offset == flight_.front().range.offset) {
      job_.SetUploadedSize(counted);
      return;
    }
    if (link_->in_flight() > 0) {
      std::string ignored;
      bool fatal = true;
      ChunkCounts behind;
      const bool read = link_->ReadAnswer(&ignored, &fatal, &behind);
      TakeBack(behind);
      if (!read) TakeBack(link_->Drop());
    }
    // A range the service's close left unanswered.
    TakeBack(link_->TakeDropped());
    flight_.clear();
    job_.SetUploadedSize(transfer_->offset);
  }

  // Ends what is in flight; their bytes did not count.
  void Abandon() {
    if (link_) TakeBack(link_->Drop());
    flight_.clear();
  }

  // Takes what a failed range attempt added back out of the counters.
  void TakeBack(const ChunkCounts& counts) {
    {
      port::MutexLock l(&task_->lock);
      task_->uploadedSize.fetch_sub(counts.taskBytes);
      transfer_->bytesSent -= counts.taskBytes;
    }
    if (folder_) MoveFolderBytes(*folder_, -counts.folderBytes, -counts.taskBytes);
  }

  // Whether the range at `next` may go out before the one ahead is answered:
  // the connection has shown it stays open (`kept`), the service has not
  // broken the order, and the range is within the file and the space left.
  bool MaySendBehind(bool kept, int64_t next) {
    if (single_range_ || !kept || next >= task_->fileSize || Halted()) return false;
    const int64_t mark = task_->transferMark.load();
    return folder_ || mark <= 0 || next < mark;
  }

  // Reads and hashes the range at `offset`; false when the file cannot give it.
  bool PrepareNext(int64_t offset, PreparedRange* range) {
    const int64_t length = std::min(kMaxRangeBytes, task_->fileSize - offset);
    return PrepareRange(ProcessHttpClient(), kChunkBoundary, job_, range_url_, offset, length,
                        range);
  }

  // The ranges from the service's offset to the end. While one range's answer
  // is awaited, the next is read, hashed and sent behind it on the same
  // connection (at most two in flight); only the service's answers move the
  // offset, and what was sent of a range that did not count is taken back.
  Step SendRanges() {
    const int64_t size = task_->fileSize;
    int stalled = 0;
    if (!link_) link_ = std::make_unique<RangeConnection>(ProcessHttpClient(), job_, range_url_);
    RangeConnection& link = *link_;
    // A range sent behind the check may be on its way already.
    std::deque<RangeOnItsWay>& flight = flight_;
    // Ends what is in flight, and the run with `end`.
    auto abandon = [this](Step end) {
      Abandon();
      return end;
    };
    // After the connection failed: the transfer fails, or goes on after a
    // pause unless a stop comes during it.
    auto try_again = [&](bool fatal) {
      Abandon();
      return fatal ? Step::Fail(kErrRangeFailed) : Pause(kRetryPauseMs);
    };
    while (transfer_->offset < size) {
      if (Halted()) return abandon(Step::End());
      if (Step s = FileUnchanged(); !s.ok()) return abandon(std::move(s));
      if (flight.empty()) {
        const int64_t mark = task_->transferMark.load();
        if (!folder_ && mark > 0 && transfer_->offset >= mark) {
          if (Step s = WaitForSpace(); !s.ok()) return s;
        }
        flight.emplace_back();
        if (!PrepareNext(transfer_->offset, &flight.back().range))
          return abandon(Step::Fail(kErrRangeFailed));
        flight.back().sentAtTick = port::CurrentEnv()->TickCount();
        bool fatal = true;
        if (!link.Send(flight.back().range, &fatal)) {
          if (Step s = try_again(fatal); !s.ok()) return s;
          continue;
        }
      }
      bool behind_lost = false;
      const int64_t next = flight.back().range.offset + flight.back().range.length;
      if (flight.size() == 1 && MaySendBehind(link.kept(), next)) {
        // A range that cannot be read now is read again, and fails, in its turn.
        RangeOnItsWay behind;
        if (PrepareNext(next, &behind.range)) {
          flight.push_back(std::move(behind));
          flight.back().sentAtTick = port::CurrentEnv()->TickCount();
          bool fatal = true;
          if (!link.Send(flight.back().range, &fatal)) {
            flight.pop_back();
            TakeBack(link.TakeDropped());
            if (fatal) return abandon(Step::Fail(kErrRangeFailed));
            // The answer ahead tells a peer that closed after it from a
            // broken connection; the range is sent again in its turn.
            behind_lost = true;
          }
        }
      }

      std::string answer;
      bool fatal = true;
      ChunkCounts counts;
      const bool answered = link.ReadAnswer(&answer, &fatal, &counts);
      RangeOnItsWay done = std::move(flight.front());
      flight.pop_front();
      if (!answered) {
        // The connection broke with a range in flight: one at a time from now on.
        if (!flight.empty() || behind_lost) single_range_ = true;
        TakeBack(counts);
        if (Step s = try_again(fatal); !s.ok()) return s;
        continue;
      }
      const uint32_t t1 = port::CurrentEnv()->TickCount();
      const int64_t start = done.range.offset;
      const int64_t end = start + done.range.length;
      if (!ParseBigUploadResponse(job_, answer)) {
        TakeBack(counts);
        return abandon(job_.TakeRefusal().value_or(Step::Fail(kErrRangeAnswer)));
      }
      if (!flight.empty() && transfer_->offset != end) {
        // The service is not where the range behind begins: its answer is
        // read and counts for nothing, and the service's order is not trusted
        // again. The transfer goes on from the service's offset.
        single_range_ = true;
        std::string ignored;
        bool ignored_fatal = true;
        ChunkCounts behind;
        const bool read = link.ReadAnswer(&ignored, &ignored_fatal, &behind);
        TakeBack(behind);
        if (!read) TakeBack(link.Drop());
        flight.clear();
      }
      if (link.in_flight() == 0) {
        // The service closed the connection after this answer: a range
        // behind was never read there and goes again on a new connection.
        TakeBack(link.TakeDropped());
        flight.clear();
      }
      // With a range still in flight the task's count already holds what was
      // sent of it; otherwise the service's offset is the count.
      if (flight.empty()) job_.SetUploadedSize(transfer_->offset);
      stalled = transfer_->offset > start ? 0 : stalled + 1;
      if (stalled >= kMaxStalledRanges) return abandon(Step::Fail(kErrRangeAnswer));
      transfer_->chunkLength = done.range.length;
      // With a range behind, answers come one range's sending apart: a range is timed from its
      // send or from the answer before it, whichever is later, or the speed shown halves (or
      // doubles, as a rate limit lets sends through in bursts) against the rate the bytes go at.
      uint32_t from = done.sentAtTick;
      if (last_answer_tick_ && static_cast<int32_t>(*last_answer_tick_ - from) > 0)
        from = *last_answer_tick_;
      last_answer_tick_ = t1;
      const uint32_t elapsed = t1 - from;
      int64_t speed = transfer_->speed.load();
      if (elapsed > 0) speed = transfer_->chunkLength / elapsed * 1000;
      if (speed < 1) speed = transfer_->chunkLength;
      transfer_->speed.store(static_cast<int32_t>(speed));
      SaveAcknowledgedRecord();
    }
    job_.SetUploadedSize(transfer_->offset);
    complete_ = true;
    return Step::End();
  }

  // Saves the record with the offset the service acknowledged, not the bytes
  // of a range still on its way.
  void SaveAcknowledgedRecord() {
    port::MutexLock l(&task_->lock);
    if (IsHalted(task_->GetStatus())) return;
    ResumeRecord r = ResumeRecordOf(*task_);
    r.uploadedSize = transfer_->offset;
    (void)SaveResumeRecord(task_->filePath, r, false, task_->storeTicket);  // as SaveRecord
  }

  void End(const Step& outcome) {
    if (outcome.code != 0) {
      // The one place a run's failure reaches the task (a logout that broke a
      // request turns it into a stop below, and the stop's report keeps it).
      port::MutexLock l(&task_->lock);
      task_->errorCode.store(outcome.code);
      task_->workerText = outcome.text;
    }
    // A logout came while this ran: its reports, records and totals belong
    // to a login that is over, and must not reach the next one.
    if (!IsOfCurrentStart(task_)) return;
    // A request or digest a logout broke off is a stop, not a failure.
    if (!complete_) (void)Halted();  // the status, read next, tells
    const TaskStatus status = task_->GetStatus();
    if (status == TaskStatus::Stopped) {
      SaveRecord(true);
    } else if (status == TaskStatus::Cancelled) {
      // Only an upload the service knows of (it named a pick code) is
      // cancelled there, by the engine's sender, so this worker need not wait
      // for it; the canceller removes the record (and queued the cancel when
      // it saw the pick code first).
      if (std::optional<JobFields> cancel = TakeServiceCancel(task_)) QueueServiceCancel(*cancel);
    } else if (complete_) {
      // The record goes before the report: a host may end the session as soon
      // as it hears of the completion, and the record must not outlive it.
      if (IsResumeStoreOpen()) {
        RemoveResumeRecord(task_->filePath, task_->storeTicket);
        MarkResumeStoreDirty(true);
      }
      // SetTaskStatus is false only when the folder is gone, StopAllTasks never.
      (void)SetTaskStatus(task_, TaskStatus::Completed, true);
    } else {
      const int32_t code = outcome.code;
      if (code == kErrServiceNoSpace || code == kErrNoSpace) (void)StopAllTasks(true);
      if (code == kErrFileChanged) {
        // The stored identities describe content the file no longer has: the
        // next attempt starts afresh, and the service drops what it holds.
        QueueServiceCancel(job_.Fields());
        if (IsResumeStoreOpen()) {
          RemoveResumeRecord(task_->filePath, task_->storeTicket);
          MarkResumeStoreDirty(false);
        }
      } else if (code == kErrNoPickCode || code == kErrHashMismatch) {
        // The service no longer holds the session: a record that kept its
        // pick code would fail every later start the same way.
        (void)DropSession(code == kErrHashMismatch);  // nothing to cancel: the service dropped it
        SaveRecord(false);
      }
      (void)SetTaskStatus(task_, TaskStatus::Failed, true);
      // False only when the folder is gone, and its directories with it.
      if (!task_->folderPath.empty())
        (void)ClearDirectoryPending(task_->folderPath, DirectoryOf(task_->filePath));
    }
  }

  // A range on its way: sent, its answer not read yet.
  struct RangeOnItsWay {
    PreparedRange range;
    uint32_t sentAtTick = 0;
  };

  UploadTask* const task_;
  TaskJob job_;
  const uint64_t started_ms_ = port::CurrentEnv()->MonotonicMillis();
  TransferState* transfer_ = nullptr;  // owned by the task
  std::shared_ptr<FolderProgress> folder_;
  std::string range_url_;
  std::unique_ptr<RangeConnection> link_;     // the connection of the check and the ranges
  std::deque<RangeOnItsWay> flight_;          // oldest first, as link_ answers them
  std::optional<uint32_t> last_answer_tick_;  // when the last range's answer was read
  FileStamp stamp_;
  bool complete_ = false;
  bool restarted_ = false;  // the dispatch started afresh once already
  bool single_range_ =
      false;  // the service's answers broke the order: no range sent behind another
};

}  // namespace

void InstallTransferWorker() { SetTransferStarter(StartTransfer); }

bool StartTransfer(UploadTask* task) {
  if (!EnterTransferStatus(task)) return false;
  if (port::CurrentEnv()->StartThread([task] { TransferWorker(task); })) return true;
  // No thread: the task waits for the scheduler's next pass.
  port::MutexLock l(&task->lock);
  if (!IsHalted(task->GetStatus())) task->SetStatusValue(TaskStatus::Waiting);
  return false;
}

void TransferWorker(UploadTask* task) {
  if (task == nullptr) return;
  Worker(task).Run();
}

bool OnHashProgress(const std::string& path, uint64_t hashed) {
  if (!IsLoggedIn()) return false;
  bool going_on = false;
  FindTask(path, [hashed, &going_on](UploadTask& task) {
    if (task.GetStatus() != TaskStatus::Hashing || task.fileSize <= 0) return;
    task.hashProgress.store(static_cast<double>(hashed) / static_cast<double>(task.fileSize) * 100);
    going_on = true;
  });
  return going_on;
}

bool CheckSpace(UploadTask* task, bool* stop, const RequestOptions& options) {
  *stop = false;
  if (!RefreshSpaceInfo(options)) return false;
  *stop = true;
  const uint64_t remain = GetSpaceRemain();
  if (remain == 0) return false;
  port::MutexLock l(&task->lock);
  const int64_t left = task->fileSize - task->uploadedSize.load();
  if (left <= 0 || remain >= static_cast<uint64_t>(left)) {
    task->transferMark.store(0);
  } else {
    task->transferMark.store(task->uploadedSize.load() + static_cast<int64_t>(remain));
  }
  return true;
}

}  // namespace vexa

#include "store/resume_store.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>

#include "account/account_file.h"
#include "account/session.h"
#include "codec/text.h"
#include "port/debug.h"
#include "port/env.h"
#include "port/event.h"
#include "port/mutex.h"
#include "port/thread.h"

namespace vexa {
namespace {

constexpr uint32_t kWriterIntervalMs = 30000;

constexpr const char* kKeys[] = {"fileid", "quickid",  "pickcode",   "folderpath", "foldertarget",
                                 "target", "filesize", "uploadsize", "isp"};
constexpr size_t kKeyCount = std::size(kKeys);
// Optional: records made before it was kept lack it.
constexpr char kFileTimeKey[] = "filetime";
constexpr char kFolderSetKey[] = "folderset";
constexpr char kFailedKey[] = "failed";
constexpr char kLastFailedKey[] = "lastfailed";

// Sections of pending cancels: a name no local path has, and no "folderpath"
// or "uploadsize" key, so the loader and the folder walks pass them by.
constexpr char kCancelPrefix[] = "?cancel:";
constexpr const char* kCancelKeys[] = {"pickcode", "cancelpath", "fileid", "quickid",
                                       "target",   "filesize",   "isp"};

struct ResumeStore {
  IniFile iniFile;

  // stateLock: never held together with the IniFile's lock.
  port::Mutex stateLock;
  std::string storePath GUARDED_BY(stateLock);
  bool opened GUARDED_BY(stateLock) = false;
  bool loaded GUARDED_BY(stateLock) = false;
  bool dirty GUARDED_BY(stateLock) = false;
  // one per open; a writer of an older one ends
  uint64_t generation GUARDED_BY(stateLock) = 0;

  // Tickets: every open and every cancel takes the next number. `cancelled`
  // is guarded by the IniFile's lock, so a save's test and its writing are
  // one step against a cancel's removal.
  std::atomic<uint64_t> sequence{0};
  std::atomic<uint64_t> openedAt{0};
  std::map<std::string, uint64_t> cancelled;

  port::Event writerEvent;
  std::function<void()> writerHook GUARDED_BY(stateLock);  // tests only

  // Writer lifetime and pass counting.
  std::mutex life_mu;
  std::condition_variable life_cv;
  int writers_running = 0;
  uint64_t passes = 0;
  uint64_t writes = 0;
};

ResumeStore& Store() {
  static ResumeStore* store = new ResumeStore();
  return *store;
}

bool IsCurrent(uint64_t generation) {
  ResumeStore& s = Store();
  port::MutexLock l(&s.stateLock);
  return s.opened && s.generation == generation;
}

void ResumeWriter(uint64_t generation) {
  ResumeStore& s = Store();
  while (IsCurrent(generation) && IsLoggedIn()) {
    bool write = false;
    std::function<void()> hook;
    {
      // The mark is taken only while this open lasts, and once taken the
      // changes are written here: a close that begins meanwhile waits for
      // this writer and writes only what is still marked.
      port::MutexLock l(&s.stateLock);
      if (s.opened && s.generation == generation && s.loaded && s.dirty) {
        s.dirty = false;
        write = true;
        hook = s.writerHook;
      }
    }
    if (write) {
      if (hook) hook();
      if (s.iniFile.Save()) {
        std::lock_guard<std::mutex> l(s.life_mu);
        ++s.writes;
      } else {
        // Tried again at the next pass, and at the close: marked clean, the
        // changes would wait for another one, and a logout would drop them.
        port::MutexLock l(&s.stateLock);
        if (s.generation == generation) s.dirty = true;
      }
    }
    {
      std::lock_guard<std::mutex> l(s.life_mu);
      ++s.passes;
    }
    s.life_cv.notify_all();
    port::CurrentEnv()->WaitForEvent(&s.writerEvent, kWriterIntervalMs);
  }
  {
    std::lock_guard<std::mutex> l(s.life_mu);
    --s.writers_running;
  }
  s.life_cv.notify_all();
}

bool IsOpen() {
  ResumeStore& s = Store();
  port::MutexLock l(&s.stateLock);
  return s.opened;
}

// The keys that older records lack.
void ReadNewerKeys(const IniFile& ini, const std::string& section, ResumeRecord* r) {
  std::string v;
  if (ini.Get(section, kFileTimeKey, &v) && !v.empty()) {
    r->modifiedTime = static_cast<int64_t>(ParseU64(v));
  }
  if (ini.Get(section, kFolderSetKey, &v) && !v.empty()) r->folderSetComplete = v != "0";
  if (ini.Get(section, kFailedKey, &v) && !v.empty()) {
    r->finalFailure = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(v)));
  }
  if (ini.Get(section, kLastFailedKey, &v) && !v.empty()) {
    r->lastFailure = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(v)));
  }
}

// Whether an upload holding `ticket` may still change the record of `path`.
// The IniFile's lock guards `cancelled`.
bool TicketValid(const ResumeStore& s, const std::string& path, uint64_t ticket) {
  s.iniFile.mutex()->AssertHeld();
  if (ticket < s.openedAt.load()) return false;
  auto it = s.cancelled.find(path);
  return it == s.cancelled.end() || ticket >= it->second;
}

// Reads the keys in order; false as soon as one is missing.
bool ReadComplete(const IniFile& ini, const std::string& section, ResumeRecord* r) {
  std::string v[kKeyCount];
  for (size_t i = 0; i < kKeyCount; ++i) {
    if (!ini.Get(section, kKeys[i], &v[i])) return false;
  }
  r->fileId = v[0];
  r->quickId = v[1];
  r->pickCode = v[2];
  r->folderPath = v[3];
  r->folderTarget = v[4];
  r->target = v[5];
  r->fileSize = static_cast<int64_t>(ParseU64(v[6]));
  r->uploadedSize = static_cast<int64_t>(ParseU64(v[7]));
  r->ispType = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(v[8])));
  ReadNewerKeys(ini, section, r);
  return true;
}

}  // namespace

bool OpenResumeStore() {
  ResumeStore& s = Store();
  uint64_t generation;
  std::string path;
  {
    port::MutexLock l(&s.stateLock);
    if (s.opened) return false;
    if (s.storePath.empty()) {
      // Without a data folder nothing is stored (rather than a file in the
      // current folder).
      std::string folder;
      if (!GetDataFolder(&folder)) return false;
      // Its name must survive a power loss as the records in it do. Should it
      // not be made, every save into it fails and says so; the store still
      // opens, since the uploads themselves need no records to run.
      if (!port::CurrentEnv()->CreateDirectoriesDurably(folder, 0700))
        port::DebugOut("RESUME FOLDER NOT MADE: " + folder);
      s.storePath = folder + GetUserId() + "_upload.ini";
      port::DebugOut("RESUME PATH: " + s.storePath);
    }
    path = s.storePath;
    s.opened = true;
    s.loaded = false;
    s.dirty = false;
    generation = ++s.generation;
  }
  {
    // Content left by a save that raced the last close must not reach this
    // user's file.
    port::MutexLock l(s.iniFile.mutex());
    // Uploads made before this open belong to an earlier login: their saves
    // are refused from now on.
    s.openedAt.store(++s.sequence);
    s.cancelled.clear();
    s.iniFile.Clear();
    s.iniFile.SetPath(path);
  }
  {
    std::lock_guard<std::mutex> l(s.life_mu);
    ++s.writers_running;
  }
  if (!port::CurrentEnv()->StartThread([generation] { ResumeWriter(generation); })) {
    std::lock_guard<std::mutex> l(s.life_mu);
    --s.writers_running;
  }
  return true;
}

bool LoadResumeStore(const ResumeRestoreFn& restore) {
  if (!IsOpen()) return false;
  ResumeStore& s = Store();
  std::vector<std::string> names;
  {
    IniFile& ini = s.iniFile;
    port::MutexLock l(ini.mutex());
    // Loading replaces the content; keep what was saved since the open.
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> early;
    for (const std::string& name : ini.SectionNames()) {
      std::map<std::string, std::string> entries;
      if (ini.GetSection(name, &entries)) early.emplace_back(name, std::move(entries));
    }
    ini.Load();
    for (const auto& [name, entries] : early) {
      for (const auto& [key, value] : entries) ini.Set(name, key, value);
    }
    names = ini.SectionNames();
  }
  std::vector<StoredUpload> uploads;
  uploads.reserve(names.size());
  for (const std::string& name : names) {
    StoredUpload u;
    u.filePath = name;
    if (ReadComplete(s.iniFile, name, &u.record)) uploads.push_back(std::move(u));
  }
  if (restore) restore(uploads);
  bool wake;
  {
    port::MutexLock l(&s.stateLock);
    s.loaded = true;
    wake = s.dirty;
  }
  // Changes made before the load was done are written now.
  if (wake) s.writerEvent.Set();
  return true;
}

void CloseResumeStore() {
  ResumeStore& s = Store();
  {
    port::MutexLock l(&s.stateLock);
    if (!s.opened) return;
    s.opened = false;
  }
  s.writerEvent.Set();
  {
    std::unique_lock<std::mutex> l(s.life_mu);
    s.life_cv.wait(l, [&s] { return s.writers_running == 0; });
  }
  bool write;
  {
    port::MutexLock l(&s.stateLock);
    write = s.loaded && s.dirty;
    s.loaded = false;
    s.dirty = false;
    s.storePath.clear();
  }
  // What the writer had not written yet is not lost at logout.
  if (write && s.iniFile.Save()) {
    std::lock_guard<std::mutex> l(s.life_mu);
    ++s.writes;
  }
  port::MutexLock l(s.iniFile.mutex());
  s.iniFile.SetPath(std::string());
  s.iniFile.Clear();
}

bool IsResumeStoreOpen() { return IsOpen(); }

uint64_t ResumeStoreTicket() { return Store().sequence.load(); }

bool SaveResumeRecord(const std::string& file_path, const ResumeRecord& r, bool wake,
                      uint64_t ticket) {
  if (!IsOpen() || file_path.empty()) return false;
  ResumeStore& s = Store();
  const bool member = !r.folderPath.empty();
  const std::string values[kKeyCount] = {
      r.fileId,
      r.quickId,
      r.pickCode,
      r.folderPath,
      r.folderTarget,
      member ? std::string() : r.target,
      FormatU64(static_cast<uint64_t>(r.fileSize)),
      FormatU64(static_cast<uint64_t>(r.uploadedSize)),
      FormatU64(static_cast<uint64_t>(static_cast<int64_t>(r.ispType))),
  };
  if (!IniFile::IsStorable(file_path)) return false;
  for (const std::string& v : values) {
    if (!IniFile::IsStorableValue(v)) return false;
  }
  const std::string file_time =
      r.modifiedTime ? FormatU64(static_cast<uint64_t>(*r.modifiedTime)) : std::string();
  {
    port::MutexLock l(s.iniFile.mutex());
    if (!TicketValid(s, file_path, ticket)) return false;
    for (size_t i = 0; i < kKeyCount; ++i) s.iniFile.Set(file_path, kKeys[i], values[i]);
    if (r.modifiedTime) s.iniFile.Set(file_path, kFileTimeKey, file_time);
    if (r.folderSetComplete)
      s.iniFile.Set(file_path, kFolderSetKey, *r.folderSetComplete ? "1" : "0");
  }
  MarkResumeStoreDirty(wake);
  return true;
}

bool ReadResumeRecord(const std::string& file_path, ResumeRecord* r) {
  if (!IsOpen()) return false;
  const IniFile& ini = Store().iniFile;
  port::MutexLock l(ini.mutex());
  if (!ini.Get(file_path, "fileid", &r->fileId)) return false;
  ini.Get(file_path, "quickid", &r->quickId);
  ini.Get(file_path, "pickcode", &r->pickCode);
  ini.Get(file_path, "folderpath", &r->folderPath);
  ini.Get(file_path, "foldertarget", &r->folderTarget);
  ini.Get(file_path, "target", &r->target);
  std::string v;
  if (ini.Get(file_path, "filesize", &v) && !v.empty()) {
    r->fileSize = static_cast<int64_t>(ParseU64(v));
  }
  if (ini.Get(file_path, "uploadsize", &v) && !v.empty()) {
    r->uploadedSize = static_cast<int64_t>(ParseU64(v));
  }
  if (ini.Get(file_path, "isp", &v) && !v.empty()) {
    r->ispType = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(v)));
  }
  ReadNewerKeys(ini, file_path, r);
  return true;
}

bool CollectFolderRecords(const std::string& folder_path, int64_t* total, int64_t* uploaded,
                          std::string* folder_target, std::vector<std::string>* paths,
                          bool* complete, bool queueable_only) {
  if (!IsOpen()) return false;
  const IniFile& ini = Store().iniFile;
  port::MutexLock l(ini.mutex());
  const std::vector<std::string> names = ini.SectionNames();
  if (names.empty()) return false;
  std::string v;
  for (const std::string& name : names) {
    if (!ini.Get(name, "folderpath", &v) || v != folder_path) continue;
    if (queueable_only && ini.Get(name, kFailedKey, &v) && !v.empty()) continue;
    if (folder_target->empty()) ini.Get(name, "foldertarget", folder_target);
    if (ini.Get(name, "filesize", &v)) *total += static_cast<int64_t>(ParseU64(v));
    if (ini.Get(name, "uploadsize", &v)) *uploaded += static_cast<int64_t>(ParseU64(v));
    if (complete != nullptr && ini.Get(name, kFolderSetKey, &v) && v == "0") *complete = false;
    paths->push_back(name);
  }
  return true;
}

namespace {

// Sets `key` of an existing record; an empty text where the record has no
// such key is not written at all.
void SetFailureKey(const std::string& file_path, const char* key, const std::string& value,
                   uint64_t ticket) {
  ResumeStore& s = Store();
  {
    port::MutexLock l(s.iniFile.mutex());
    std::string v;
    if (!TicketValid(s, file_path, ticket) || !s.iniFile.Get(file_path, "fileid", &v)) return;
    if (value.empty() && !s.iniFile.Get(file_path, key, &v)) return;
    s.iniFile.Set(file_path, key, value);
  }
  MarkResumeStoreDirty(false);
}

}  // namespace

void MarkResumeRecordFailed(const std::string& file_path, int32_t code, uint64_t ticket) {
  SetFailureKey(file_path, kFailedKey, FormatU64(static_cast<uint32_t>(code)), ticket);
}

void NoteResumeRecordFailure(const std::string& file_path, int32_t code, uint64_t ticket) {
  SetFailureKey(file_path, kLastFailedKey,
                code == 0 ? std::string() : FormatU64(static_cast<uint32_t>(code)), ticket);
}

void CompleteFolderSet(const std::vector<std::string>& paths, uint64_t ticket) {
  ResumeStore& s = Store();
  bool changed = false;
  {
    port::MutexLock l(s.iniFile.mutex());
    std::string v;
    for (const std::string& p : paths) {
      if (!TicketValid(s, p, ticket) || !s.iniFile.Get(p, kFolderSetKey, &v)) continue;
      s.iniFile.Set(p, kFolderSetKey, "1");
      changed = true;
    }
  }
  if (changed) MarkResumeStoreDirty(false);
}

void RemoveResumeRecord(const std::string& file_path, uint64_t ticket) {
  ResumeStore& s = Store();
  port::MutexLock l(s.iniFile.mutex());
  if (ticket < s.openedAt.load()) return;
  s.iniFile.RemoveSection(file_path);
}

void CancelResumeRecord(const std::string& file_path) {
  ResumeStore& s = Store();
  port::MutexLock l(s.iniFile.mutex());
  s.cancelled[file_path] = ++s.sequence;
  s.iniFile.RemoveSection(file_path);
}

bool SavePendingCancel(const PendingCancel& c) {
  if (!IsOpen() || c.pickCode.empty()) return false;
  const std::string values[] = {
      c.pickCode,
      c.filePath,
      c.fileId,
      c.quickId,
      c.target,
      FormatU64(static_cast<uint64_t>(c.fileSize)),
      FormatU64(static_cast<uint64_t>(static_cast<int64_t>(c.ispType))),
  };
  const std::string section = kCancelPrefix + c.pickCode;
  if (!IniFile::IsStorable(section)) return false;
  for (const std::string& v : values) {
    if (!IniFile::IsStorableValue(v)) return false;
  }
  ResumeStore& s = Store();
  {
    port::MutexLock l(s.iniFile.mutex());
    for (size_t i = 0; i < std::size(kCancelKeys); ++i)
      s.iniFile.Set(section, kCancelKeys[i], values[i]);
  }
  MarkResumeStoreDirty(true);
  return true;
}

std::vector<PendingCancel> PendingCancels() {
  std::vector<PendingCancel> out;
  if (!IsOpen()) return out;
  const IniFile& ini = Store().iniFile;
  port::MutexLock l(ini.mutex());
  for (const std::string& name : ini.SectionNames()) {
    if (name.rfind(kCancelPrefix, 0) != 0) continue;
    PendingCancel c;
    std::string size, isp;
    if (!ini.Get(name, "pickcode", &c.pickCode) || c.pickCode.empty()) continue;
    ini.Get(name, "cancelpath", &c.filePath);
    ini.Get(name, "fileid", &c.fileId);
    ini.Get(name, "quickid", &c.quickId);
    ini.Get(name, "target", &c.target);
    if (ini.Get(name, "filesize", &size)) c.fileSize = static_cast<int64_t>(ParseU64(size));
    if (ini.Get(name, "isp", &isp))
      c.ispType = static_cast<int32_t>(static_cast<uint32_t>(ParseU64(isp)));
    out.push_back(std::move(c));
  }
  return out;
}

void RemovePendingCancel(const std::string& pick_code) {
  if (pick_code.empty()) return;
  Store().iniFile.RemoveSection(kCancelPrefix + pick_code);
  MarkResumeStoreDirty(true);
}

void MarkResumeStoreDirty(bool wake) {
  ResumeStore& s = Store();
  {
    port::MutexLock l(&s.stateLock);
    s.dirty = true;
  }
  if (wake) s.writerEvent.Set();
}

void WakeResumeWriter() { Store().writerEvent.Set(); }

bool FlushResumeStore() {
  ResumeStore& s = Store();
  {
    port::MutexLock l(&s.stateLock);
    if (!s.opened || !s.loaded) return false;
    s.dirty = false;
  }
  // The save takes a snapshot of every change made before it.
  if (s.iniFile.Save()) return true;
  MarkResumeStoreDirty(false);
  return false;
}

std::string ResumeStorePath() {
  ResumeStore& s = Store();
  port::MutexLock l(&s.stateLock);
  return s.opened ? s.storePath : std::string();
}

uint64_t TEST_ResumeWriterPasses() {
  ResumeStore& s = Store();
  std::lock_guard<std::mutex> l(s.life_mu);
  return s.passes;
}

uint64_t TEST_ResumeWrites() {
  ResumeStore& s = Store();
  std::lock_guard<std::mutex> l(s.life_mu);
  return s.writes;
}

bool TEST_WaitForResumeWriterPass(uint64_t passes, uint32_t timeout_ms) {
  ResumeStore& s = Store();
  std::unique_lock<std::mutex> l(s.life_mu);
  return s.life_cv.wait_for(l, std::chrono::milliseconds(timeout_ms),
                            [&s, passes] { return s.passes > passes; });
}

void TEST_SetResumeWriterHook(std::function<void()> hook) {
  ResumeStore& s = Store();
  port::MutexLock l(&s.stateLock);
  s.writerHook = std::move(hook);
}

int TEST_ResumeWritersRunning() {
  ResumeStore& s = Store();
  std::lock_guard<std::mutex> l(s.life_mu);
  return s.writers_running;
}

}  // namespace vexa

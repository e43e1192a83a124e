#ifndef VEXA_ENGINE_FOLDER_H_
#define VEXA_ENGINE_FOLDER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "port/mutex.h"
#include "port/thread_annotations.h"

namespace vexa {

// The remote folder of one local directory of a folder upload: known once the
// service named it; `pending` while a member's dispatch is creating it.
// `creator` is the path of that member, so a mark left behind by a member that
// was stopped before its dispatch answered can be recognised.
struct DirTarget {
  std::string identity;
  bool pending = false;
  std::string creator;
};

// One folder upload. folderPath and target are fixed once the record is in
// the folder map; the counters are atomic (the scheduler reads them for
// display); the maps and the pending list are guarded by `lock`.
struct FolderRecord {
  FolderRecord() = default;
  FolderRecord(const FolderRecord&) = delete;
  FolderRecord& operator=(const FolderRecord&) = delete;

  std::string folderPath;
  std::string target;
  int32_t memberCount GUARDED_BY(lock) = 0;
  int32_t completedCount GUARDED_BY(lock) = 0;
  int32_t failedCount GUARDED_BY(lock) = 0;
  std::atomic<int64_t> startTick{0};
  std::atomic<int64_t> totalSize{0};
  std::atomic<int64_t> uploadedSize{0};
  std::atomic<int64_t> sentSinceStart{0};
  std::atomic<int32_t> status{0};
  // While the folder is listed (its size not known yet): the files found so
  // far; -1 otherwise.
  std::atomic<int64_t> filesFound{-1};
  mutable port::Mutex lock;
  std::map<std::string, DirTarget> dirTargets GUARDED_BY(lock);
  std::vector<std::string> pendingPaths GUARDED_BY(lock);
  std::map<std::string, std::string> failures GUARDED_BY(lock);  // path -> GBK text
  // The failed members that retrying cannot help (an empty file, one that is
  // gone, a name that cannot be stored or that the service refuses).
  std::set<std::string> finalFailures GUARDED_BY(lock);
  // Restored from records whose writing was cut short: not the whole folder,
  // so adding it again lists it anew.
  bool partialSet GUARDED_BY(lock) = false;
};

// Records are shared: a thread that found one keeps it alive while it works
// on it, even when the folder leaves the map meanwhile.
using FolderRef = std::shared_ptr<FolderRecord>;

// The folder map, keyed by folder path in byte order.
FolderRef FindFolder(const std::string& folder_path);
// Inserts the record unless its path is present already (then false).
bool RegisterFolder(const FolderRef& folder);
// Takes the record out of the map. False for null.
bool RemoveFolder(const FolderRef& folder);
// Empties the map.
void DestroyAllFolders();
// Copies the folder's failures; nothing when there is no record.
bool CopyFolderFailures(const std::string& folder_path, std::map<std::string, std::string>* out);
// dirTargets[directory] = {identity, pending = identity non-empty}.
bool RecordDirectoryTarget(const std::string& folder_path, const std::string& directory,
                           const std::string& identity);
// Clears `pending` of a directory whose identity is still unknown.
bool ClearDirectoryPending(const std::string& folder_path, const std::string& directory);

size_t FolderCount();

}  // namespace vexa

#endif  // VEXA_ENGINE_FOLDER_H_

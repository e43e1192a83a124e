#include "engine/folder.h"

namespace vexa {
namespace {

struct FolderMap {
  port::Mutex folderMapLock;
  std::map<std::string, FolderRef> folders GUARDED_BY(folderMapLock);
};

FolderMap& Map() {
  static FolderMap* map = new FolderMap();
  return *map;
}

}  // namespace

FolderRef FindFolder(const std::string& folder_path) {
  FolderMap& m = Map();
  port::MutexLock l(&m.folderMapLock);
  auto it = m.folders.find(folder_path);
  return it == m.folders.end() ? nullptr : it->second;
}

bool RegisterFolder(const FolderRef& folder) {
  if (!folder) return false;
  FolderMap& m = Map();
  port::MutexLock l(&m.folderMapLock);
  return m.folders.emplace(folder->folderPath, folder).second;
}

bool RemoveFolder(const FolderRef& folder) {
  if (!folder) return false;
  FolderMap& m = Map();
  port::MutexLock l(&m.folderMapLock);
  auto it = m.folders.find(folder->folderPath);
  if (it != m.folders.end() && it->second == folder) m.folders.erase(it);
  return true;
}

void DestroyAllFolders() {
  std::map<std::string, FolderRef> gone;
  FolderMap& m = Map();
  {
    port::MutexLock l(&m.folderMapLock);
    gone.swap(m.folders);
  }
}

bool CopyFolderFailures(const std::string& folder_path, std::map<std::string, std::string>* out) {
  FolderRef f = FindFolder(folder_path);
  if (f) {
    port::MutexLock l(&f->lock);
    *out = f->failures;
  }
  return true;
}

bool RecordDirectoryTarget(const std::string& folder_path, const std::string& directory,
                           const std::string& identity) {
  FolderRef f = FindFolder(folder_path);
  if (!f) return false;
  port::MutexLock l(&f->lock);
  f->dirTargets[directory] = DirTarget{identity, !identity.empty()};
  return true;
}

bool ClearDirectoryPending(const std::string& folder_path, const std::string& directory) {
  FolderRef f = FindFolder(folder_path);
  if (!f) return false;
  port::MutexLock l(&f->lock);
  auto it = f->dirTargets.find(directory);
  if (it != f->dirTargets.end() && it->second.identity.empty() && it->second.pending) {
    it->second.pending = false;
    it->second.creator.clear();
  }
  return true;
}

size_t FolderCount() {
  FolderMap& m = Map();
  port::MutexLock l(&m.folderMapLock);
  return m.folders.size();
}

}  // namespace vexa

#ifndef VEXA_PORT_TESTING_FAULT_INJECTION_ENV_H_
#define VEXA_PORT_TESTING_FAULT_INJECTION_ENV_H_

// Test support: an environment that can lose power. Below its root folder it
// remembers what reached the disk: a file's data once the file was synced, a
// name (created, renamed, linked, removed) once its folder was synced. A
// power loss puts back exactly that, as a machine that lost power would find
// its disk, so a missing sync shows up as lost data (a kill -9 cannot show it:
// the system's cache survives the process).

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "port/env.h"
#include "port/last_error.h"

namespace vexa::port {

class FaultInjectionEnv : public EnvWrapper {
 public:
  // Tracks the files and folders below `root` (which must exist); others are
  // passed through as always durable.
  explicit FaultInjectionEnv(const std::string& root)
      : EnvWrapper(Env::Default()), root_(Normal(root)) {}

  // The power goes off at the `n`th change of a file or folder from now
  // (1: the next): that change and every later one fail and do nothing.
  void CutPowerAfter(uint64_t n) {
    std::lock_guard<std::mutex> l(mu_);
    cut_at_ = changes_ + n;
  }
  bool PowerIsOff() {
    std::lock_guard<std::mutex> l(mu_);
    return off_;
  }
  // Changes made so far.
  uint64_t Changes() {
    std::lock_guard<std::mutex> l(mu_);
    return changes_;
  }

  // Puts the disk below the root back to what was synced and turns the
  // power on again. Whatever used the files must be gone by now.
  void LosePowerAndRestart() {
    std::lock_guard<std::mutex> l(mu_);
    std::vector<std::string> dirs;
    for (const auto& [dir, names] : durable_) dirs.push_back(dir);
    // Parents before children: a folder whose name is lost goes with all in it.
    std::sort(dirs.begin(), dirs.end());
    for (const std::string& dir : dirs) {
      if (!Survives(dir)) {
        std::filesystem::remove_all(dir);
        continue;
      }
      const auto& names = durable_[dir];
      // Names this environment made that were never synced go.
      for (const auto& [path, node] : live_) {
        if (Parent(path) == dir && names.count(Name(path)) == 0) std::filesystem::remove_all(path);
      }
      for (const auto& [name, node] : names) {
        const std::string path = dir + "/" + name;
        if (node->dir) {
          std::filesystem::create_directories(path);
        } else if (node->synced) {
          // A new file, not a link's other name, takes the synced content.
          std::filesystem::remove(path);
          std::ofstream(path, std::ios::binary) << *node->synced;
        }
      }
    }
    live_.clear();
    durable_.clear();
    off_ = false;
    cut_at_ = 0;
  }

  bool NewWritableFile(const std::string& path, WriteMode mode, unsigned permissions,
                       std::unique_ptr<WritableFile>* file, bool* created = nullptr) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!Change()) return false;
    const std::string p = Normal(path);
    std::shared_ptr<Node> node;
    if (Tracked(p)) {
      Touch(Parent(p));
      auto it = live_.find(p);
      if (it != live_.end()) {
        node = it->second;
        Capture(p, node.get());
      }
    }
    bool made = false;
    std::unique_ptr<WritableFile> inner;
    if (!target()->NewWritableFile(path, mode, permissions, &inner, &made)) return false;
    if (created != nullptr) *created = made;
    if (Tracked(p) && (made || !node)) {
      node = std::make_shared<Node>();
      node->synced = std::string();  // nothing of it reached the disk yet
      live_[p] = node;
    }
    *file = std::make_unique<File>(this, p, node, std::move(inner));
    return true;
  }
  bool CreateDirectories(const std::string& path, unsigned mode) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!Change()) return false;
    // The folders the call would create, each ending before a separator.
    std::vector<std::string> fresh;
    for (size_t at = path.find_first_of("/\\", 1); at != std::string::npos;
         at = path.find_first_of("/\\", at + 1)) {
      const std::string dir = Normal(path.substr(0, at));
      if (Tracked(dir) && dir != root_ && !std::filesystem::exists(dir)) fresh.push_back(dir);
    }
    for (const std::string& dir : fresh) Touch(Parent(dir));
    const bool ok = target()->CreateDirectories(path, mode);
    for (const std::string& dir : fresh) {
      if (!std::filesystem::is_directory(dir)) continue;
      auto node = std::make_shared<Node>();
      node->dir = true;
      live_[dir] = node;
      durable_[dir];  // tracked from its start: nothing in it is durable yet
    }
    return ok;
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return Move(from, to, false);
  }
  bool LinkFile(const std::string& from, const std::string& to) override {
    return Move(from, to, true);
  }
  bool RemoveFile(const std::string& path) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!Change()) return false;
    const std::string p = Normal(path);
    if (Tracked(p)) Touch(Parent(p));
    auto it = live_.find(p);
    if (it != live_.end()) Capture(p, it->second.get());
    if (!target()->RemoveFile(path)) return false;
    live_.erase(p);
    return true;
  }
  bool SyncDirectory(const std::string& dir) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!Change()) return false;
    const std::string d = Normal(dir);
    if (!TrackedDir(d)) return target()->SyncDirectory(dir);
    Touch(d);
    std::map<std::string, std::shared_ptr<Node>>& names = durable_[d];
    names.clear();
    for (const auto& [path, node] : live_) {
      if (Parent(path) == d) names[Name(path)] = node;
    }
    return true;
  }

 private:
  // A file or folder this environment has seen. `synced` is what a power
  // loss leaves of a file: unset while it holds what it held when first seen.
  struct Node {
    bool dir = false;
    std::optional<std::string> synced;
  };

  class File final : public WritableFile {
   public:
    File(FaultInjectionEnv* env, std::string path, std::shared_ptr<Node> node,
         std::unique_ptr<WritableFile> inner)
        : env_(env), path_(std::move(path)), node_(std::move(node)), inner_(std::move(inner)) {}
    bool WriteAt(uint64_t offset, std::string_view data) override {
      std::lock_guard<std::mutex> l(env_->mu_);
      return env_->Change() && inner_->WriteAt(offset, data);
    }
    bool Truncate(uint64_t size) override {
      std::lock_guard<std::mutex> l(env_->mu_);
      return env_->Change() && inner_->Truncate(size);
    }
    bool Size(uint64_t* size) override { return inner_->Size(size); }
    void StartSync() override {}
    bool Sync() override {
      std::lock_guard<std::mutex> l(env_->mu_);
      if (!env_->Change()) return false;
      if (!node_) return inner_->Sync();
      // What survives is decided here, so the disk need not be waited for.
      inner_->StartSync();
      std::string content;
      if (!env_->target()->ReadWholeFile(path_, &content)) return false;
      node_->synced = std::move(content);
      return true;
    }
    bool Close() override {
      // Closed in any case, so nothing stays open; a failure while the
      // power is off.
      const bool ok = inner_->Close();
      std::lock_guard<std::mutex> l(env_->mu_);
      return ok && !env_->off_;
    }

   private:
    FaultInjectionEnv* const env_;
    const std::string path_;
    const std::shared_ptr<Node> node_;
    const std::unique_ptr<WritableFile> inner_;
  };

  static std::string Normal(const std::string& path) {
    std::string p = std::filesystem::path(path).lexically_normal().generic_string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }
  static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
  static std::string Name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

  // Whether `path` lies below the root (the root's own name is not tracked).
  bool Tracked(const std::string& path) const {
    return path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 &&
           path[root_.size()] == '/';
  }
  bool TrackedDir(const std::string& dir) const { return dir == root_ || Tracked(dir); }

  // Counts a change; false (and the power off) from the cut on.
  bool Change() {
    if (!off_) {
      ++changes_;
      if (cut_at_ != 0 && changes_ >= cut_at_) off_ = true;
    }
    if (off_) SetLastError(kErrorIoDevice);
    return !off_;
  }

  // Starts tracking a folder: what is in it now counts as durable.
  void Touch(const std::string& dir) {
    if (!TrackedDir(dir) || durable_.count(dir) != 0) return;
    std::map<std::string, std::shared_ptr<Node>>& names = durable_[dir];
    std::vector<DirEntry> entries;
    target()->ListDirectory(dir, &entries);
    for (const DirEntry& e : entries) {
      auto node = std::make_shared<Node>();
      node->dir = e.kind == EntryKind::kDirectory;
      names[e.name] = node;
      live_[dir + "/" + e.name] = node;
    }
  }
  // Keeps a file's first-seen content before it is changed or removed.
  void Capture(const std::string& path, Node* node) {
    if (node->dir || node->synced) return;
    std::string content;
    if (target()->ReadWholeFile(path, &content)) node->synced = std::move(content);
  }
  // Whether a power loss keeps the folder's own name, and its parents'.
  bool Survives(const std::string& dir) const {
    if (dir == root_ || !Tracked(dir)) return true;
    const std::string parent = Parent(dir);
    auto it = durable_.find(parent);
    if (it != durable_.end() && it->second.count(Name(dir)) == 0) return false;
    return Survives(parent);
  }

  bool Move(const std::string& from, const std::string& to, bool link) {
    std::lock_guard<std::mutex> l(mu_);
    if (!Change()) return false;
    const std::string f = Normal(from), t = Normal(to);
    if (Tracked(f)) Touch(Parent(f));
    if (Tracked(t)) Touch(Parent(t));
    auto old = live_.find(t);
    if (old != live_.end()) Capture(t, old->second.get());
    auto it = live_.find(f);
    if (it != live_.end()) Capture(f, it->second.get());
    if (!(link ? target()->LinkFile(from, to) : target()->RenameFile(from, to))) return false;
    std::shared_ptr<Node> node = it != live_.end() ? it->second : std::make_shared<Node>();
    if (Tracked(t)) live_[t] = node;
    if (!link) live_.erase(f);
    return true;
  }

  const std::string root_;
  std::mutex mu_;
  bool off_ = false;
  uint64_t changes_ = 0;
  uint64_t cut_at_ = 0;  // 0: no cut planned
  // Every name below the root this environment knows, as it is now.
  std::map<std::string, std::shared_ptr<Node>> live_;
  // Per known folder: its names as of its last sync (or as first seen).
  std::map<std::string, std::map<std::string, std::shared_ptr<Node>>> durable_;
};

}  // namespace vexa::port

#endif  // VEXA_PORT_TESTING_FAULT_INJECTION_ENV_H_

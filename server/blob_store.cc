#include "server/blob_store.h"

#include "port/last_error.h"

namespace vexa::server {

namespace {

std::string FailureText(const std::string& what) {
  return what + " (system error " + std::to_string(port::LastError()) + ")";
}

}  // namespace

BlobReader::~BlobReader() { std::fclose(file_); }

bool BlobReader::ReadAt(uint64_t offset, size_t n, std::string* out) const {
  port::MutexLock l(&mu_);
  if (!port::Seek64(file_, offset)) return false;
  out->resize(n);
  const size_t got = std::fread(out->data(), 1, n, file_);
  if (got == 0) return false;
  out->resize(got);
  return true;
}

bool BlobStore::SyncFolder(const std::string& path) {
  ++folder_syncs_;
  return env_->SyncDirectory(path);
}

BlobStore::BlobStore(std::string root, port::Env* env) : root_(std::move(root)), env_(env) {}

bool BlobStore::Open(std::string* error) {
  // A folder made here but not synced into its parent could vanish in a
  // power loss together with every range acknowledged into it.
  for (const char* dir : {"/partial/", "/blobs/"}) {
    if (!env_->CreateDirectoriesDurably(root_ + dir, 0700)) {
      *error = FailureText("cannot create " + root_ + dir);
      return false;
    }
  }
  return true;
}

std::string BlobStore::PartialPath(int64_t session) const {
  return root_ + "/partial/" + std::to_string(session) + ".part";
}

std::string BlobStore::BlobPath(const std::string& sha1) const {
  return root_ + "/blobs/" + sha1.substr(0, 2) + "/" + sha1;
}

bool BlobStore::WriteRange(int64_t session, uint64_t offset, std::string_view data,
                           std::string* error, const std::function<void()>& meanwhile) {
  const std::string path = PartialPath(session);
  bool created = false;
  std::unique_ptr<port::WritableFile> file;
  if (!env_->NewWritableFile(path, port::WriteMode::kExisting, 0600, &file) &&
      (port::LastError() != port::kErrorFileNotFound ||
       !env_->NewWritableFile(path, port::WriteMode::kCreateNew, 0600, &file, &created))) {
    *error = FailureText("cannot open " + path);
    return false;
  }
  bool ok = file->WriteAt(offset, data);
  if (!ok) *error = FailureText("cannot write " + path);
  // Bytes beyond the range are left from a write that was never
  // acknowledged. Truncating only then spares the common case a change of
  // the file's metadata.
  uint64_t size = 0;
  if (ok && !file->Size(&size)) {
    *error = FailureText("cannot size " + path);
    ok = false;
  }
  const uint64_t end = offset + data.size();
  if (ok && size > end && !file->Truncate(end)) {
    *error = FailureText("cannot truncate " + path);
    ok = false;
  }
  if (ok && meanwhile) {
    // Start the disk on the range now, so that it works while the caller does.
    file->StartSync();
    meanwhile();
  }
  // The offset is acknowledged only after this: the bytes, and the size that
  // reaches them, must survive a crash.
  if (ok && !file->Sync()) {
    *error = FailureText("cannot sync " + path);
    ok = false;
  }
  if (!file->Close() && ok) {
    *error = FailureText("cannot close " + path);
    ok = false;
  }
  // A new file's name must survive a crash as much as its bytes.
  if (ok && created && !SyncFolder(root_ + "/partial")) {
    *error = FailureText("cannot sync " + root_ + "/partial");
    ok = false;
  }
  return ok;
}

bool BlobStore::Publish(int64_t session, const std::string& sha1, std::string* error) {
  const std::string dir = root_ + "/blobs/" + sha1.substr(0, 2);
  if (!env_->CreateDirectories(dir + "/", 0700)) {
    *error = FailureText("cannot create " + dir);
    return false;
  }
  const std::string from = PartialPath(session);
  const std::string to = BlobPath(sha1);
  // A name already held is kept: equal names mean equal content.
  if (!env_->LinkFile(from, to) && !HasBlob(sha1)) {
    *error = FailureText("cannot link " + from + " to " + to);
    return false;
  }
  // The blob's name, and its folder's name in blobs/.
  if (!SyncFolder(dir) || !SyncFolder(root_ + "/blobs")) {
    *error = FailureText("cannot sync " + dir);
    return false;
  }
  return true;
}

void BlobStore::RemovePartial(int64_t session) {
  // Ignore a failed sync: a name that comes back is reclaimed at the next start.
  if (env_->RemoveFile(PartialPath(session))) SyncFolder(root_ + "/partial");
}

void BlobStore::RemoveBlob(const std::string& sha1) {
  if (env_->RemoveFile(BlobPath(sha1))) SyncFolder(root_ + "/blobs/" + sha1.substr(0, 2));
}

bool BlobStore::HasBlob(const std::string& sha1) const {
  return env_->IsRegularFile(BlobPath(sha1));
}

std::unique_ptr<BlobReader> BlobStore::OpenBlob(const std::string& sha1) const {
  std::FILE* f = env_->OpenForReading(BlobPath(sha1));
  if (f == nullptr) return nullptr;
  return std::make_unique<BlobReader>(f);
}

std::vector<int64_t> BlobStore::ListPartials() const {
  std::vector<int64_t> out;
  std::vector<port::DirEntry> entries;
  if (!env_->ListDirectory(root_ + "/partial", &entries)) return out;
  const std::string suffix = ".part";
  for (const port::DirEntry& e : entries) {
    const std::string& name = e.name;
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    const std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 18) continue;
    out.push_back(std::stoll(digits));
  }
  return out;
}

std::vector<std::string> BlobStore::ListBlobs() const {
  std::vector<std::string> out;
  std::vector<port::DirEntry> prefixes;
  if (!env_->ListDirectory(root_ + "/blobs", &prefixes)) return out;
  for (const port::DirEntry& prefix : prefixes) {
    if (prefix.name[0] == '.') continue;
    std::vector<port::DirEntry> entries;
    if (!env_->ListDirectory(root_ + "/blobs/" + prefix.name, &entries)) continue;
    for (const port::DirEntry& e : entries) {
      if (e.name[0] != '.') out.push_back(e.name);
    }
  }
  return out;
}

}  // namespace vexa::server

#include "server/blob_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vexa::server {

namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool MakeDir(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *error = ErrnoText("cannot create " + path);
  return false;
}

}  // namespace

bool BlobStore::SyncFolder(const std::string& path) const {
  ++folder_syncs_;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

BlobStore::BlobStore(std::string root) : root_(std::move(root)) {}

bool BlobStore::Open(std::string* error) {
  return MakeDir(root_, error) && MakeDir(root_ + "/partial", error) &&
         MakeDir(root_ + "/blobs", error);
}

std::string BlobStore::PartialPath(int64_t session) const {
  return root_ + "/partial/" + std::to_string(session) + ".part";
}

std::string BlobStore::BlobPath(const std::string& sha1) const {
  return root_ + "/blobs/" + sha1.substr(0, 2) + "/" + sha1;
}

BlobStore::RangeWriter::RangeWriter(const BlobStore* store, int64_t session, uint64_t offset)
    : store_(store), path_(store->PartialPath(session)), offset_(offset) {}

BlobStore::RangeWriter::~RangeWriter() {
  if (fd_ >= 0) close(fd_);
}

bool BlobStore::RangeWriter::Open(std::string* error) {
  fd_ = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created_ = fd_ >= 0;
  }
  if (fd_ < 0) *error = ErrnoText("cannot open " + path_);
  return fd_ >= 0;
}

bool BlobStore::RangeWriter::Write(uint64_t at, std::string_view data, std::string* error) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset_ + at + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = ErrnoText("cannot write " + path_);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (at <= written_) written_ = std::max<uint64_t>(written_, at + data.size());
  // Handing the disk pieces of a quarter MiB keeps it busy without a
  // request per small read from the network.
  static constexpr uint64_t kStartEvery = 256 * 1024;
  if (written_ - started_ >= kStartEvery) {
    sync_file_range(fd_, static_cast<off_t>(offset_ + started_), static_cast<off_t>(written_ - started_),
                    SYNC_FILE_RANGE_WRITE);
    started_ = written_;
  }
  return true;
}

bool BlobStore::RangeWriter::Commit(uint64_t length, std::string* error,
                                    const std::function<void()>& meanwhile) {
  // Bytes beyond the range are left from a write that was never
  // acknowledged. Truncating only then spares the common case a change of
  // the file's metadata.
  struct stat st;
  if (fstat(fd_, &st) != 0) {
    *error = ErrnoText("cannot stat " + path_);
    return false;
  }
  const off_t end = static_cast<off_t>(offset_ + length);
  if (st.st_size > end && ftruncate(fd_, end) != 0) {
    *error = ErrnoText("cannot truncate " + path_);
    return false;
  }
  if (meanwhile) {
    // Start the disk on the rest of the range now, so that it works while
    // the caller does.
    if (length > started_) {
      sync_file_range(fd_, static_cast<off_t>(offset_ + started_), static_cast<off_t>(length - started_),
                      SYNC_FILE_RANGE_WRITE);
    }
    meanwhile();
  }
  // The offset is acknowledged only after this: the bytes, and the size that
  // reaches them, must survive a crash.
  if (fdatasync(fd_) != 0) {
    *error = ErrnoText("cannot sync " + path_);
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) {
    *error = ErrnoText("cannot close " + path_);
    return false;
  }
  // A new file's name must survive a crash as much as its bytes.
  if (created_ && !store_->SyncFolder(store_->root_ + "/partial")) {
    *error = ErrnoText("cannot sync " + store_->root_ + "/partial");
    return false;
  }
  return true;
}

bool BlobStore::WriteRange(int64_t session, uint64_t offset, std::string_view data,
                           std::string* error, const std::function<void()>& meanwhile) {
  RangeWriter writer(this, session, offset);
  return writer.Open(error) && writer.Write(0, data, error) && writer.Commit(data.size(), error, meanwhile);
}

bool BlobStore::Publish(int64_t session, const std::string& sha1, std::string* error) {
  const std::string dir = root_ + "/blobs/" + sha1.substr(0, 2);
  if (!MakeDir(dir, error)) return false;
  const std::string from = PartialPath(session);
  const std::string to = BlobPath(sha1);
  if (link(from.c_str(), to.c_str()) != 0 && !(errno == EEXIST && HasBlob(sha1))) {
    *error = ErrnoText("cannot link " + from + " to " + to);
    return false;
  }
  if (!SyncFolder(dir) || !SyncFolder(root_ + "/blobs")) {
    *error = ErrnoText("cannot sync " + dir);
    return false;
  }
  return true;
}

void BlobStore::RemovePartial(int64_t session) {
  if (unlink(PartialPath(session).c_str()) == 0) SyncFolder(root_ + "/partial");
}

void BlobStore::RemoveBlob(const std::string& sha1) {
  if (unlink(BlobPath(sha1).c_str()) == 0) SyncFolder(root_ + "/blobs/" + sha1.substr(0, 2));
}

bool BlobStore::HasBlob(const std::string& sha1) const {
  struct stat st;
  return stat(BlobPath(sha1).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<int64_t> BlobStore::ListPartials() const {
  std::vector<int64_t> out;
  DIR* d = opendir((root_ + "/partial").c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    const std::string suffix = ".part";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    std::string digits = name.substr(0, name.size() - suffix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 18) continue;
    out.push_back(std::stoll(digits));
  }
  closedir(d);
  return out;
}

std::vector<std::string> BlobStore::ListBlobs() const {
  std::vector<std::string> out;
  DIR* top = opendir((root_ + "/blobs").c_str());
  if (top == nullptr) return out;
  while (dirent* prefix = readdir(top)) {
    if (prefix->d_name[0] == '.') continue;
    DIR* d = opendir((root_ + "/blobs/" + prefix->d_name).c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(e->d_name);
    }
    closedir(d);
  }
  closedir(top);
  return out;
}

}  // namespace vexa::server

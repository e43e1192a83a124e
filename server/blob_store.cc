#include "server/blob_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

BlobReader::~BlobReader() { close(fd_); }

bool BlobReader::ReadAt(uint64_t offset, size_t n, std::string* out) const {
  out->resize(n);
  ssize_t got;
  do {
    got = pread(fd_, out->data(), n, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  out->resize(static_cast<size_t>(got));
  return true;
}

bool BlobStore::SyncFolder(const std::string& path) {
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

bool BlobStore::WriteRange(int64_t session, uint64_t offset, std::string_view data,
                           std::string* error, const std::function<void()>& meanwhile) {
  const std::string path = PartialPath(session);
  bool created = false;
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created = fd >= 0;
  }
  if (fd < 0) {
    *error = ErrnoText("cannot open " + path);
    return false;
  }
  bool ok = true;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = pwrite(fd, data.data() + done, data.size() - done,
                       static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = ErrnoText("cannot write " + path);
      ok = false;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  // Bytes beyond the range are left from a write that was never
  // acknowledged. Truncating only then spares the common case a change of
  // the file's metadata.
  struct stat st;
  if (ok && fstat(fd, &st) != 0) {
    *error = ErrnoText("cannot stat " + path);
    ok = false;
  }
  const off_t end = static_cast<off_t>(offset + data.size());
  if (ok && st.st_size > end && ftruncate(fd, end) != 0) {
    *error = ErrnoText("cannot truncate " + path);
    ok = false;
  }
  if (ok && meanwhile) {
    // Start the disk on the range now, so that it works while the caller does.
    sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(data.size()), SYNC_FILE_RANGE_WRITE);
    meanwhile();
  }
  // The offset is acknowledged only after this: the bytes, and the size that
  // reaches them, must survive a crash.
  if (ok && fdatasync(fd) != 0) {
    *error = ErrnoText("cannot sync " + path);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    *error = ErrnoText("cannot close " + path);
    ok = false;
  }
  // A new file's name must survive a crash as much as its bytes.
  if (ok && created && !SyncFolder(root_ + "/partial")) {
    *error = ErrnoText("cannot sync " + root_ + "/partial");
    ok = false;
  }
  return ok;
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

std::unique_ptr<BlobReader> BlobStore::OpenBlob(const std::string& sha1) const {
  const int fd = open(BlobPath(sha1).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<BlobReader>(fd);
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

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "port/file.h"
#include "port/last_error.h"

namespace vexa::port {

namespace {

// Pipes, sockets and character devices are no files to hash or store: opening
// a pipe blocks until a writer comes, and a device like /dev/zero never ends.
bool IsStreamNode(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode); }

}  // namespace

std::FILE* OpenFileShared(const std::string& path, const char* mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && IsStreamNode(st.st_mode)) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  // POSIX has no share modes: every open is deny-none already.
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  // fopen of a folder succeeds for reading on Linux; callers expect a file.
  if (fstat(fileno(f), &st) == 0 && (S_ISDIR(st.st_mode) || IsStreamNode(st.st_mode))) {
    std::fclose(f);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  return f;
}

bool Seek64(std::FILE* f, uint64_t offset) {
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool SeekEnd64(std::FILE* f) {
  if (fseeko(f, 0, SEEK_END) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool Tell64(std::FILE* f, uint64_t* offset) {
  const off_t pos = ftello(f);
  if (pos < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  *offset = static_cast<uint64_t>(pos);
  return true;
}

bool FileSize64(const std::string& path, uint64_t* size) {
  std::FILE* f = OpenFileShared(path, "rb");
  if (f == nullptr) return false;
  uint64_t end = 0;
  const bool ok = SeekEnd64(f) && Tell64(f, &end);
  std::fclose(f);
  if (ok) *size = end;
  return ok;
}

bool FileModifiedTime(const std::string& path, int64_t* nanoseconds) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  *nanoseconds = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

bool PathExists(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return S_ISREG(st.st_mode);
}

bool CreateDirectories(const std::string& path, unsigned mode) {
  if (PathExists(path)) return true;
  for (size_t pos = path.find(kPathSeparator); pos != std::string::npos;
       pos = path.find(kPathSeparator, pos + 1)) {
    if (pos == 0) continue;  // the root
    const std::string prefix = path.substr(0, pos);
    if (!PathExists(prefix) && ::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0 &&
        errno != EEXIST) {
      SetLastErrorFromErrno();
      return false;
    }
  }
  return PathExists(path);
}

bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    SetLastErrorFromErrno();
    return false;
  }
  std::string base = dir;
  if (!base.empty() && base.back() != kPathSeparator) base.push_back(kPathSeparator);
  while (struct dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    EntryKind kind = EntryKind::kOther;
    struct stat st;
    if (::lstat((base + name).c_str(), &st) == 0) {
      if (S_ISLNK(st.st_mode)) kind = EntryKind::kSymlink;
      else if (S_ISDIR(st.st_mode)) kind = EntryKind::kDirectory;
      else if (S_ISREG(st.st_mode)) kind = EntryKind::kFile;
    }
    out->push_back({name, kind});
  }
  ::closedir(d);
  return true;
}

bool RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool SyncFile(std::FILE* f) {
  if (std::fflush(f) != 0 || ::fsync(fileno(f)) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  const bool ok = ::fsync(fd) == 0;
  if (!ok) SetLastErrorFromErrno();
  ::close(fd);
  return ok;
}

bool SetPermissions(const std::string& path, unsigned mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace vexa::port

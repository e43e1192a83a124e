#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "port/file.h"
#include "port/last_error.h"

namespace vexa::port {

namespace {

// Pipes, sockets and character devices are no files to hash or store: opening
// a pipe blocks until a writer comes, and a device like /dev/zero never ends.
bool IsStreamNode(mode_t mode) { return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode); }
// What an open for reading content refuses once it holds the node: reading a
// folder succeeds on Linux, and a node may have been swapped since the stat.
bool IsNoContentFile(mode_t mode) { return S_ISDIR(mode) || IsStreamNode(mode); }

// Content already in the page cache is hashed in place from a mapping: a copy
// out of the cache through a read block larger than the L2 cache is evicted
// again before it is hashed (1 MiB blocks hash at two thirds of the in-memory
// rate). Content still on the disk is read instead, in blocks that stay in the
// L2 cache between the copy and the hashing (the kernel's read-ahead keeps the
// disk busy whatever the block): 64 KiB blocks scanned a cold file twice as
// fast as 1 MiB ones, and faulting it into a mapping was slower still. Files
// up to kMapMin are read: one read is cheaper than a mapping.
constexpr size_t kReadBlock = 64 << 10;
constexpr uint64_t kMapMin = 64 << 10;
// Mapped windows: large enough that mapping costs nothing per byte, small
// enough that a scan holds little address space and page table, and that the
// page tables of the next window are filled in time (below).
constexpr size_t kMapWindow = 16 << 20;

// --- SIGBUS from a mapped file that shrank ----------------------------------

// The window the current thread is visiting, and where to resume on a fault.
struct MappedGuard {
  const char* begin;
  const char* end;
  MappedGuard* outer;  // restored when this window is done
  sigjmp_buf resume;
};

thread_local MappedGuard* t_guard = nullptr;
struct sigaction g_previous_bus;
std::once_flag g_bus_once;
bool g_bus_installed = false;

void OnBusError(int sig, siginfo_t* info, void* context) {
  MappedGuard* const guard = t_guard;
  // si_code > 0: raised by a fault, so si_addr is meaningful (not a kill()).
  if (guard != nullptr && info != nullptr && info->si_code > 0) {
    const char* addr = static_cast<const char*>(info->si_addr);
    if (addr >= guard->begin && addr < guard->end) siglongjmp(guard->resume, 1);
  }
  if ((g_previous_bus.sa_flags & SA_SIGINFO) != 0) {
    g_previous_bus.sa_sigaction(sig, info, context);
  } else if (g_previous_bus.sa_handler != SIG_DFL && g_previous_bus.sa_handler != SIG_IGN) {
    g_previous_bus.sa_handler(sig);
  } else {
    // Blocked until we return; then the old disposition ends the process as
    // it would have (a fault also repeats on return).
    ::sigaction(SIGBUS, &g_previous_bus, nullptr);
    ::raise(sig);
  }
}

// Whether a fault in a mapping reaches OnBusError. Installs it once.
bool BusHandlerActive() {
  std::call_once(g_bus_once, [] {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnBusError;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigemptyset(&sa.sa_mask);
    g_bus_installed = ::sigaction(SIGBUS, &sa, &g_previous_bus) == 0;
  });
  if (!g_bus_installed) return false;
  struct sigaction now;
  return ::sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) != 0 &&
         now.sa_sigaction == OnBusError;
}

enum class Outcome { kVisited, kStopped, kFault, kUnmappable };

// Visits one mapped window with the fault guard set for it.
Outcome VisitWindow(const char* data, size_t length, const ScanVisitor& visit) {
  MappedGuard guard;
  guard.begin = data;
  guard.end = data + length;
  guard.outer = t_guard;
  // Saves the signal mask: the jump leaves a handler in which SIGBUS is blocked.
  if (sigsetjmp(guard.resume, 1) != 0) {
    t_guard = guard.outer;
    return Outcome::kFault;
  }
  t_guard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const bool go_on = visit(reinterpret_cast<const uint8_t*>(data), length);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_guard = guard.outer;
  return go_on ? Outcome::kVisited : Outcome::kStopped;
}

struct Window {
  const char* data = nullptr;
  size_t length = 0;
};

Window MapWindow(int fd, uint64_t offset, uint64_t file_length) {
  const size_t len = static_cast<size_t>(std::min<uint64_t>(kMapWindow, file_length - offset));
  void* map = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (map == MAP_FAILED) return {};
  ::madvise(map, len, MADV_SEQUENTIAL);
  return {static_cast<const char*>(map), len};
}

void Unmap(const Window& w) {
  if (w.data != nullptr) ::munmap(const_cast<char*>(w.data), w.length);
}

// Reads [offset, end) in whole blocks, or up to the end of the file when it
// comes first (short reads are topped up, so pieces do not depend on the file
// system). kVisited at the end, kFault on a read error.
Outcome VisitRead(int fd, uint64_t offset, uint64_t end, uint8_t* block, const ScanVisitor& visit) {
  while (offset < end) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBlock, end - offset));
    size_t have = 0;
    while (have < want) {
      const ssize_t n = ::pread(fd, block + have, want - have, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Outcome::kFault;
      if (n == 0) break;
      have += static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    if (have > 0 && !visit(block, have)) return Outcome::kStopped;
    if (have < want) break;
  }
  return Outcome::kVisited;
}

// Whether (nearly) all of a window is in the page cache.
bool Resident(const Window& w) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t count = (w.length + page - 1) / page;
  std::vector<unsigned char> pages(count);
  if (::mincore(const_cast<char*>(w.data), w.length, pages.data()) != 0) return true;
  size_t missing = 0;
  for (unsigned char p : pages) missing += (p & 1) == 0;
  return missing <= count / 16;
}

// Does the paging work around a window on a thread of its own while the
// calling one hashes it: asks whether the next window is in the page cache,
// fills its page tables if so (so the hashing stops at no page fault), and
// unmaps the window hashed before. On the hashing thread those steps took a
// sixth of the time of a scan of a freshly written file (the cache holds it in
// single pages; read back from the disk it comes in large folios, which cost
// far less to map). The kernel answers a page past the end of a shrunken
// file with an error here, not with SIGBUS. Without a thread the steps run on
// the caller, without the page tables.
class WindowPager {
 public:
  WindowPager(const Window& next, bool always_mapped, const Window& done) {
    try {
      thread_ = std::thread([this, next, always_mapped, done] {
        next_cached_ = Check(next, always_mapped);
#ifdef MADV_POPULATE_READ
        if (next_cached_) ::madvise(const_cast<char*>(next.data), next.length, MADV_POPULATE_READ);
#endif
        Unmap(done);
      });
    } catch (const std::system_error&) {
      next_cached_ = Check(next, always_mapped);
      Unmap(done);
    }
  }
  WindowPager(const WindowPager&) = delete;
  WindowPager& operator=(const WindowPager&) = delete;
  ~WindowPager() { Wait(); }

  // Waits for the thread; whether the next window is to be visited in place.
  bool Wait() {
    if (thread_.joinable()) thread_.join();
    return next_cached_;
  }

 private:
  static bool Check(const Window& w, bool always_mapped) {
    return w.data != nullptr && (always_mapped || Resident(w));
  }

  bool next_cached_ = false;
  std::thread thread_;
};

// Visits [*offset, length) of `fd` window by window, advancing *offset past
// each window visited: cached windows (or all, when `always_mapped`) in place,
// the others read into `block`. kUnmappable leaves the rest to plain reads.
Outcome VisitMapped(int fd, uint64_t length, bool always_mapped, uint8_t* block,
                    const ScanVisitor& visit, uint64_t* offset) {
  if (*offset >= length) return Outcome::kVisited;
  Window current = MapWindow(fd, *offset, length);
  bool current_cached = current.data != nullptr && (always_mapped || Resident(current));
  Window done;
  while (current.data != nullptr) {
    const uint64_t next_offset = *offset + current.length;
    const Window next = next_offset < length ? MapWindow(fd, next_offset, length) : Window{};
    WindowPager pager(next, always_mapped, done);
    const Outcome outcome = current_cached ? VisitWindow(current.data, current.length, visit)
                                           : VisitRead(fd, *offset, next_offset, block, visit);
    const bool next_cached = pager.Wait();
    done = current;
    if (outcome != Outcome::kVisited) {
      Unmap(done);
      Unmap(next);
      return outcome;
    }
    *offset = next_offset;
    current = next;
    current_cached = next_cached;
  }
  Unmap(done);
  return *offset < length ? Outcome::kUnmappable : Outcome::kVisited;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() { ::close(fd_); }

 private:
  int fd_;
};

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
  if (fstat(fileno(f), &st) == 0 && IsNoContentFile(st.st_mode)) {
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

ScanResult ScanFile(const std::string& path, ScanMode mode, const ScanVisitor& visit) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && IsStreamNode(st.st_mode)) {
    SetLastError(kErrorAccessDenied);
    return ScanResult::kOpenFailed;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno();
    return ScanResult::kOpenFailed;
  }
  FdCloser closer(fd);
  if (::fstat(fd, &st) != 0) {
    SetLastErrorFromErrno();
    return ScanResult::kOpenFailed;
  }
  if (IsNoContentFile(st.st_mode)) {
    SetLastError(kErrorAccessDenied);
    return ScanResult::kOpenFailed;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kReadBlock]);
  if (!block) return ScanResult::kReadFailed;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  uint64_t offset = 0;
  const bool map = mode == ScanMode::kMapped || (mode == ScanMode::kAuto && size > kMapMin);
  if (map && S_ISREG(st.st_mode) && BusHandlerActive()) {
    switch (VisitMapped(fd, size, mode == ScanMode::kMapped, block.get(), visit, &offset)) {
      case Outcome::kVisited:
        break;
      case Outcome::kStopped:
        return ScanResult::kStopped;
      case Outcome::kFault:
        return ScanResult::kReadFailed;
      case Outcome::kUnmappable:
        if (mode == ScanMode::kMapped) return ScanResult::kReadFailed;
        break;  // the rest is read
    }
    // A file cut inside its last page reads as zeros there instead of faulting.
    if (offset > 0 && (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < offset)) {
      return ScanResult::kReadFailed;
    }
  } else if (mode == ScanMode::kMapped && size > 0) {
    return ScanResult::kReadFailed;
  }
  switch (VisitRead(fd, offset, UINT64_MAX, block.get(), visit)) {
    case Outcome::kStopped:
      return ScanResult::kStopped;
    case Outcome::kFault:
      return ScanResult::kReadFailed;
    default:
      return ScanResult::kDone;
  }
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

bool IsSymbolicLink(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return S_ISLNK(st.st_mode);
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
      if (S_ISLNK(st.st_mode))
        kind = EntryKind::kSymlink;
      else if (S_ISDIR(st.st_mode))
        kind = EntryKind::kDirectory;
      else if (S_ISREG(st.st_mode))
        kind = EntryKind::kFile;
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

bool LinkFile(const std::string& from, const std::string& to) {
  if (::link(from.c_str(), to.c_str()) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

void StartFileSync(std::FILE* f) {
  if (std::fflush(f) != 0) return;
#if defined(__linux__)
  ::sync_file_range(fileno(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
}

bool TruncateFile(std::FILE* f, uint64_t size) {
  if (std::fflush(f) != 0 || ::ftruncate(fileno(f), static_cast<off_t>(size)) != 0) {
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

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/crash_reporter.h"
#include "port/signal_stack.h"

namespace vexa::port {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kMaxPath = 4096;
constexpr size_t kMaxStackDump = 64 * 1024;
constexpr size_t kMaxZoneSpans = 128;
constexpr int64_t kDay = 86400;

// Everything the handler reads is prepared beforehand in static storage.
char g_folder[kMaxPath];
std::atomic<bool> g_folder_set{false};
char g_program[256];
char g_executable[kMaxPath];
std::atomic<bool> g_in_handler{false};

// The local time's offset from UTC, from `since` (seconds since 1970, UTC)
// until the next span: the zone's rules, read at install for the years ahead,
// because the handler cannot read them itself.
struct ZoneSpan {
  int64_t since;
  int32_t offset;
};
ZoneSpan g_zone[kMaxZoneSpans];
std::atomic<size_t> g_zone_spans{0};

// --- async-signal-safe text building ---------------------------------------

struct Buf {
  char data[1024];
  size_t len = 0;
  void Put(const char* s) {
    while (*s != '\0' && len + 1 < sizeof(data)) data[len++] = *s++;
    data[len] = '\0';
  }
  void PutChar(char c) {
    if (len + 1 < sizeof(data)) data[len++] = c;
    data[len] = '\0';
  }
  void PutUnsigned(uint64_t v, int width = 0, int base = 10) {
    char tmp[24];
    int n = 0;
    do {
      const int d = static_cast<int>(v % base);
      tmp[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
      v /= base;
    } while (v != 0 && n < 24);
    while (n < width && n < 24) tmp[n++] = '0';
    while (n > 0) PutChar(tmp[--n]);
  }
};

void WriteAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    len -= static_cast<size_t>(n);
  }
}

void WriteU32(int fd, uint32_t v) {
  unsigned char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  WriteAll(fd, b, 4);
}

void WriteU64(int fd, uint64_t v) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  WriteAll(fd, b, 8);
}

// Civil date from days since 1970-01-01 (H. Hinnant's algorithm).
void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

// The zone's offset at `utc` (seconds); 0 (UTC) before the rules are read.
// Async-signal-safe.
int32_t ZoneOffset(int64_t utc) {
  const size_t n = g_zone_spans.load();
  int32_t offset = 0;
  for (size_t i = 0; i < n && g_zone[i].since <= utc; ++i) offset = g_zone[i].offset;
  return offset;
}

int32_t LibcOffset(int64_t utc) {
  const time_t t = static_cast<time_t>(utc);
  struct tm lt;
  return ::localtime_r(&t, &lt) != nullptr ? static_cast<int32_t>(lt.tm_gmtoff) : 0;
}

// Reads the offsets from a day ago to 20 years ahead, day by day, narrowing
// each change down to its second. (Two changes within one day would be
// missed; no zone has them.)
void LoadZoneRules() {
  ::tzset();
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  int64_t t = now - kDay;
  int32_t offset = LibcOffset(t);
  size_t n = 0;
  g_zone_spans.store(0);
  g_zone[n++] = ZoneSpan{INT64_MIN, offset};
  for (int64_t next = t + kDay; next <= now + 20 * 366 * kDay && n < kMaxZoneSpans;
       t = next, next += kDay) {
    const int32_t o = LibcOffset(next);
    if (o == offset) continue;
    int64_t lo = t;
    int64_t hi = next;
    while (hi - lo > 1) {
      const int64_t mid = lo + (hi - lo) / 2;
      (LibcOffset(mid) == offset ? lo : hi) = mid;
    }
    g_zone[n++] = ZoneSpan{hi, o};
    offset = o;
  }
  g_zone_spans.store(n);
}

// Local calendar time, to the millisecond.
struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

LocalTime ToLocalTime(int64_t unix_ms) {
  int64_t ms = unix_ms % 1000;
  int64_t seconds = unix_ms / 1000;
  if (ms < 0) {
    ms += 1000;
    --seconds;
  }
  const int64_t local = seconds + ZoneOffset(seconds);
  int64_t days = local / kDay;
  int64_t rem = local % kDay;
  if (rem < 0) {
    rem += kDay;
    --days;
  }
  LocalTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = static_cast<int>(rem / 3600);
  t.minute = static_cast<int>(rem / 60 % 60);
  t.second = static_cast<int>(rem % 60);
  t.millisecond = static_cast<int>(ms);
  return t;
}

void PutBaseName(Buf* b, const LocalTime& t, const char* program) {
  b->PutUnsigned(static_cast<uint64_t>(t.year), 4);
  b->PutUnsigned(static_cast<uint64_t>(t.month), 2);
  b->PutUnsigned(static_cast<uint64_t>(t.day), 2);
  b->PutUnsigned(static_cast<uint64_t>(t.hour), 2);
  b->PutUnsigned(static_cast<uint64_t>(t.minute), 2);
  b->PutUnsigned(static_cast<uint64_t>(t.second), 2);
  b->PutUnsigned(static_cast<uint64_t>(t.millisecond), 3);
  b->PutChar('_');
  b->Put(program);
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    case SIGFPE:
      return "SIGFPE";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "signal";
  }
}

void WriteTextReport(const char* path, int sig, const siginfo_t* info, const Buf& when,
                     uint64_t tid) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  Buf b;
  b.Put("Unhandled signal ");
  b.PutUnsigned(static_cast<uint64_t>(sig));
  b.Put(" (");
  b.Put(SignalName(sig));
  b.Put("), code ");
  b.PutUnsigned(static_cast<uint64_t>(static_cast<uint32_t>(info != nullptr ? info->si_code : 0)));
  b.Put(", address 0x");
  b.PutUnsigned(reinterpret_cast<uintptr_t>(info != nullptr ? info->si_addr : nullptr), 0, 16);
  b.Put("\nTime: ");
  b.Put(when.data);
  b.Put("\nProcess: ");
  b.PutUnsigned(static_cast<uint64_t>(::getpid()));
  b.Put("\nExecutable: ");
  WriteAll(fd, b.data, b.len);
  WriteAll(fd, g_executable, std::strlen(g_executable));
  Buf t;
  t.Put("\nThread: ");
  t.PutUnsigned(tid);
  t.Put("\nBacktrace:\n");
  WriteAll(fd, t.data, t.len);
  void* frames[64];
  const int n = ::backtrace(frames, 64);
  ::backtrace_symbols_fd(frames, n, fd);
  ::close(fd);
}

void WriteDump(const char* path, int sig, const siginfo_t* info, void* context, uint64_t tid) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  WriteAll(fd, "VEXADMP1", 8);
  WriteU32(fd, static_cast<uint32_t>(sig));
  WriteU32(fd, static_cast<uint32_t>(info != nullptr ? info->si_code : 0));
  WriteU64(fd, reinterpret_cast<uintptr_t>(info != nullptr ? info->si_addr : nullptr));
  WriteU64(fd, tid);
  uint64_t sp = 0;
#if defined(__x86_64__)
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
  WriteU32(fd, NGREG);
  for (int i = 0; i < NGREG; ++i) {
    WriteU64(fd, uc != nullptr ? static_cast<uint64_t>(uc->uc_mcontext.gregs[i]) : 0);
  }
  if (uc != nullptr) sp = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
#else
  (void)context;
  WriteU32(fd, 0);
#endif
  // The kernel reports an unreadable page as EFAULT instead of faulting, so
  // the stack is copied page by page until the first one that is not mapped.
  // The raw system call keeps memory checkers from judging the copy: a stack
  // holds their guard zones.
  uint64_t copied = 0;
  const off_t count_at = ::lseek(fd, 0, SEEK_CUR);
  WriteU64(fd, sp);
  WriteU64(fd, 0);
  if (sp != 0) {
    const char* p = reinterpret_cast<const char*>(sp);
    while (copied < kMaxStackDump) {
      const uintptr_t addr = reinterpret_cast<uintptr_t>(p + copied);
      size_t piece = 4096 - (addr % 4096);
      if (piece > kMaxStackDump - copied) piece = kMaxStackDump - copied;
      const long n = ::syscall(SYS_write, fd, p + copied, piece);
      if (n <= 0) break;
      copied += static_cast<uint64_t>(n);
    }
  }
  if (count_at >= 0 && ::lseek(fd, count_at + 8, SEEK_SET) >= 0) WriteU64(fd, copied);
  ::close(fd);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context) {
  // A crash inside the report itself must not loop.
  if (!g_in_handler.exchange(true) && g_folder_set.load()) {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const LocalTime t = ToLocalTime(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
    const uint64_t tid = static_cast<uint64_t>(::syscall(SYS_gettid));

    char path[kMaxPath + 64];
    Buf name;
    PutBaseName(&name, t, g_program);
    Buf when;
    when.PutUnsigned(static_cast<uint64_t>(t.year), 4);
    when.PutChar('-');
    when.PutUnsigned(static_cast<uint64_t>(t.month), 2);
    when.PutChar('-');
    when.PutUnsigned(static_cast<uint64_t>(t.day), 2);
    when.PutChar(' ');
    when.PutUnsigned(static_cast<uint64_t>(t.hour), 2);
    when.PutChar(':');
    when.PutUnsigned(static_cast<uint64_t>(t.minute), 2);
    when.PutChar(':');
    when.PutUnsigned(static_cast<uint64_t>(t.second), 2);
    when.PutChar('.');
    when.PutUnsigned(static_cast<uint64_t>(t.millisecond), 3);

    const size_t folder_len = std::strlen(g_folder);
    if (folder_len + 1 + name.len + 11 < sizeof(path)) {
      std::memcpy(path, g_folder, folder_len);
      path[folder_len] = '/';
      std::memcpy(path + folder_len + 1, name.data, name.len);
      char* ext = path + folder_len + 1 + name.len;
      std::memcpy(ext, ".exception", 11);
      WriteTextReport(path, sig, info, when, tid);
      std::memcpy(ext, ".dmp", 5);
      WriteDump(path, sig, info, context, tid);
    }
  }
  // Let the signal end the process as it would have without us.
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  ::sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  ::raise(sig);
}

}  // namespace

std::string CrashReportBaseName(int64_t unix_millis, const std::string& program) {
  Buf b;
  PutBaseName(&b, ToLocalTime(unix_millis), program.c_str());
  return b.data;
}

bool InstallCrashReporter(const char* argv0) {
  const char* base = argv0 != nullptr ? argv0 : "vexaupload";
  if (const char* slash = std::strrchr(base, '/')) base = slash + 1;
  std::snprintf(g_program, sizeof(g_program), "%s", base);
  const ssize_t n = ::readlink("/proc/self/exe", g_executable, sizeof(g_executable) - 1);
  if (n > 0) {
    g_executable[n] = '\0';
  } else {
    std::snprintf(g_executable, sizeof(g_executable), "%s", argv0 != nullptr ? argv0 : "");
  }
  LoadZoneRules();
  // The first backtrace() loads its unwinder, which may allocate: do it now.
  void* frame[2];
  ::backtrace(frame, 2);

  // An own stack lets a stack overflow of this thread still be reported (the
  // threads started through StartDetachedThread get theirs there). It stays
  // for the life of the thread.
  static ScopedSignalStack* installing_thread_stack = new ScopedSignalStack();
  (void)installing_thread_stack;

  bool ok = true;
  for (int sig : kSignals) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = OnFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigemptyset(&sa.sa_mask);
    ok = ::sigaction(sig, &sa, nullptr) == 0 && ok;
  }
  return ok;
}

void SetCrashReportFolder(const std::string& folder) {
  std::string f = folder;
  while (f.size() > 1 && f.back() == '/') f.pop_back();
  if (f.empty() || f.size() >= kMaxPath) return;
  g_folder_set.store(false);
  std::memcpy(g_folder, f.c_str(), f.size() + 1);
  g_folder_set.store(true);
}

}  // namespace vexa::port

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

namespace vexa::port {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kMaxPath = 4096;
constexpr size_t kMaxStackDump = 64 * 1024;
constexpr size_t kAltStackSize = 64 * 1024;

// Everything the handler reads is prepared beforehand in static storage.
char g_folder[kMaxPath];
std::atomic<bool> g_folder_set{false};
char g_program[256];
char g_executable[kMaxPath];
std::atomic<long> g_utc_offset_seconds{0};
std::atomic<bool> g_in_handler{false};
alignas(16) char g_alt_stack[kAltStackSize];

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

void PutBaseName(Buf* b, int y, int mo, int d, int h, int mi, int s, int ms, const char* program) {
  b->PutUnsigned(static_cast<uint64_t>(y), 4);
  b->PutUnsigned(static_cast<uint64_t>(mo), 2);
  b->PutUnsigned(static_cast<uint64_t>(d), 2);
  b->PutUnsigned(static_cast<uint64_t>(h), 2);
  b->PutUnsigned(static_cast<uint64_t>(mi), 2);
  b->PutUnsigned(static_cast<uint64_t>(s), 2);
  b->PutUnsigned(static_cast<uint64_t>(ms), 3);
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
    const int64_t local = static_cast<int64_t>(ts.tv_sec) + g_utc_offset_seconds.load();
    int64_t days = local / 86400;
    int64_t rem = local % 86400;
    if (rem < 0) {
      rem += 86400;
      --days;
    }
    int y, mo, d;
    CivilFromDays(days, &y, &mo, &d);
    const int h = static_cast<int>(rem / 3600);
    const int mi = static_cast<int>(rem / 60 % 60);
    const int s = static_cast<int>(rem % 60);
    const int ms = static_cast<int>(ts.tv_nsec / 1000000);
    const uint64_t tid = static_cast<uint64_t>(::syscall(SYS_gettid));

    char path[kMaxPath + 64];
    Buf name;
    PutBaseName(&name, y, mo, d, h, mi, s, ms, g_program);
    Buf when;
    when.PutUnsigned(static_cast<uint64_t>(y), 4);
    when.PutChar('-');
    when.PutUnsigned(static_cast<uint64_t>(mo), 2);
    when.PutChar('-');
    when.PutUnsigned(static_cast<uint64_t>(d), 2);
    when.PutChar(' ');
    when.PutUnsigned(static_cast<uint64_t>(h), 2);
    when.PutChar(':');
    when.PutUnsigned(static_cast<uint64_t>(mi), 2);
    when.PutChar(':');
    when.PutUnsigned(static_cast<uint64_t>(s), 2);
    when.PutChar('.');
    when.PutUnsigned(static_cast<uint64_t>(ms), 3);

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

void CaptureUtcOffset() {
  const time_t now = ::time(nullptr);
  struct tm lt;
  if (::localtime_r(&now, &lt) != nullptr) g_utc_offset_seconds.store(lt.tm_gmtoff);
}

}  // namespace

std::string CrashReportBaseName(int year, int month, int day, int hour, int minute, int second,
                                int millisecond, const std::string& program) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d%02d%02d%02d%02d%02d%03d_", year, month, day, hour, minute,
                second, millisecond);
  return buf + program;
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
  CaptureUtcOffset();
  // The first backtrace() loads its unwinder, which may allocate: do it now.
  void* frame[2];
  ::backtrace(frame, 2);

  // An own stack lets a stack overflow of this thread still be reported.
  stack_t ss;
  std::memset(&ss, 0, sizeof(ss));
  ss.ss_sp = g_alt_stack;
  ss.ss_size = sizeof(g_alt_stack);
  ::sigaltstack(&ss, nullptr);

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
  CaptureUtcOffset();
  g_folder_set.store(false);
  std::memcpy(g_folder, f.c_str(), f.size() + 1);
  g_folder_set.store(true);
}

}  // namespace vexa::port

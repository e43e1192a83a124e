#include <windows.h>
#include <dbghelp.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "port/crash_reporter.h"
#include "port/signal_stack.h"
#include "port/win32/wide_path.h"

namespace vexa::port {
namespace {

// Prepared beforehand: the filter runs after anything may have gone wrong.
std::mutex g_mu;  // guards g_folder against SetCrashReportFolder while a report is written
std::wstring g_folder;
std::wstring g_executable;
std::string g_program;  // "name.ext" of the process's executable
LPTOP_LEVEL_EXCEPTION_FILTER g_previous = nullptr;
LONG g_in_filter = 0;
HMODULE g_own_module = nullptr;  // the image holding this code (the DLL, or a host's executable)

SYSTEMTIME LocalTimeOf(int64_t unix_millis) {
  const uint64_t t = static_cast<uint64_t>(unix_millis + 11644473600000LL) * 10000;
  FILETIME utc = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
  SYSTEMTIME st_utc, st_local;
  ::FileTimeToSystemTime(&utc, &st_utc);
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &st_utc, &st_local)) return st_utc;
  return st_local;
}

int64_t NowUnixMillis() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000) - 11644473600000LL;
}

void Append(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string* out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  *out += line;
}

// "module+0xoffset" for a code address.
std::string Where(DWORD64 address) {
  HMODULE module = nullptr;
  wchar_t path[MAX_PATH] = L"?";
  if (::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(address)), &module)) {
    ::GetModuleFileNameW(module, path, MAX_PATH);
  }
  std::string name = Narrow(path);
  name = name.substr(name.find_last_of("\\/") + 1);
  char text[64];
  std::snprintf(text, sizeof(text), "+0x%llx",
                static_cast<unsigned long long>(address - reinterpret_cast<uintptr_t>(module)));
  return name + text;
}

std::string Report(EXCEPTION_POINTERS* info, const SYSTEMTIME& t) {
  const EXCEPTION_RECORD* rec = info->ExceptionRecord;
  std::string r;
  Append(&r, "Exception: 0x%08lx at %p (%s), flags 0x%lx\r\n", rec->ExceptionCode,
         rec->ExceptionAddress, Where(reinterpret_cast<uintptr_t>(rec->ExceptionAddress)).c_str(),
         rec->ExceptionFlags);
  if (rec->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && rec->NumberParameters >= 2) {
    Append(&r, "Access: %s at 0x%08lx\r\n", rec->ExceptionInformation[0] == 0 ? "read" : "write",
           static_cast<unsigned long>(rec->ExceptionInformation[1]));
  }
  Append(&r, "Time: %04d-%02d-%02d %02d:%02d:%02d.%03d\r\n", t.wYear, t.wMonth, t.wDay, t.wHour,
         t.wMinute, t.wSecond, t.wMilliseconds);
  OSVERSIONINFOW os = {sizeof(os)};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ::GetVersionExW(&os);
#pragma GCC diagnostic pop
  Append(&r, "System: Windows %lu.%lu build %lu\r\n", os.dwMajorVersion, os.dwMinorVersion,
         os.dwBuildNumber);
  Append(&r, "Process: %lu %s\r\n", ::GetCurrentProcessId(), Narrow(g_executable).c_str());
  Append(&r, "Thread: %lu\r\n", ::GetCurrentThreadId());
  CONTEXT ctx = *info->ContextRecord;
#if defined(_M_IX86) || defined(__i386__)
  Append(&r, "Registers: eax=%08lx ebx=%08lx ecx=%08lx edx=%08lx esi=%08lx edi=%08lx\r\n", ctx.Eax,
         ctx.Ebx, ctx.Ecx, ctx.Edx, ctx.Esi, ctx.Edi);
  Append(&r, "           eip=%08lx esp=%08lx ebp=%08lx eflags=%08lx\r\n", ctx.Eip, ctx.Esp, ctx.Ebp,
         ctx.EFlags);
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = ctx.Eip;
  frame.AddrStack.Offset = ctx.Esp;
  frame.AddrFrame.Offset = ctx.Ebp;
  const DWORD machine = IMAGE_FILE_MACHINE_I386;
#else
  Append(&r, "Registers: rip=%016llx rsp=%016llx rbp=%016llx\r\n", ctx.Rip, ctx.Rsp, ctx.Rbp);
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = ctx.Rip;
  frame.AddrStack.Offset = ctx.Rsp;
  frame.AddrFrame.Offset = ctx.Rbp;
  const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
#endif
  frame.AddrPC.Mode = frame.AddrStack.Mode = frame.AddrFrame.Mode = AddrModeFlat;
  r += "Stack:\r\n";
  for (int i = 0; i < 64; ++i) {
    if (!::StackWalk64(machine, ::GetCurrentProcess(), ::GetCurrentThread(), &frame, &ctx, nullptr,
                       ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr) ||
        frame.AddrPC.Offset == 0) {
      break;
    }
    Append(&r, "  #%02d %08llx %s\r\n", i, static_cast<unsigned long long>(frame.AddrPC.Offset),
           Where(frame.AddrPC.Offset).c_str());
  }
  return r;
}

HANDLE CreateReportFile(const std::wstring& path) {
  return ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whether `address` lies in this module's image. The filter is the whole
// process's: a browser's own faults are its business, not this module's.
bool InOwnModule(const void* address) {
  HMODULE module = nullptr;
  return g_own_module != nullptr &&
         ::GetModuleHandleExW(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<LPCWSTR>(address), &module) &&
         module == g_own_module;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  // A fault while reporting (or in a second thread at once) is left to the system.
  if (InOwnModule(info->ExceptionRecord->ExceptionAddress) &&
      ::InterlockedExchange(&g_in_filter, 1) == 0) {
    std::wstring folder;
    {
      std::lock_guard<std::mutex> l(g_mu);
      folder = g_folder;
    }
    if (!folder.empty()) {
      const int64_t now = NowUnixMillis();
      const std::wstring base = folder + L"\\" + Widen(CrashReportBaseName(now, g_program));
      HANDLE text = CreateReportFile(base + L".exception");
      if (text != INVALID_HANDLE_VALUE) {
        ::SymInitializeW(::GetCurrentProcess(), nullptr, TRUE);
        const std::string report = Report(info, LocalTimeOf(now));
        DWORD written = 0;
        ::WriteFile(text, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
        ::CloseHandle(text);
      }
      HANDLE dump = CreateReportFile(base + L".dmp");
      if (dump != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION mei = {::GetCurrentThreadId(), info, FALSE};
        ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), dump, MiniDumpNormal,
                            &mei, nullptr, nullptr);
        ::CloseHandle(dump);
      }
    }
  }
  return g_previous != nullptr ? g_previous(info) : EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool InstallCrashReporter(const char*) {
  static bool installed = false;
  if (installed) return true;
  installed = true;
  std::wstring executable;
  if (!ModuleFileName(nullptr, &executable)) executable.clear();
  g_executable = executable;
  const std::string exe = Narrow(g_executable);
  g_program = exe.substr(exe.find_last_of("\\/") + 1);
  static ScopedSignalStack* installing_thread_stack = new ScopedSignalStack();
  (void)installing_thread_stack;
  // The filter stays the process's for good, so the image holding it must
  // stay mapped too: a browser frees an idle control's DLL, and the next
  // unhandled exception anywhere would jump into unmapped memory. Pinned, the
  // DLL is never unloaded; without the pin, no filter is installed.
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&OnUnhandledException), &g_own_module)) {
    g_own_module = nullptr;
    return false;
  }
  g_previous = ::SetUnhandledExceptionFilter(OnUnhandledException);
  return true;
}

void SetCrashReportFolder(const std::string& folder) {
  std::lock_guard<std::mutex> l(g_mu);
  g_folder = Widen(folder);
}

std::string CrashReportBaseName(int64_t unix_millis, const std::string& program) {
  const SYSTEMTIME t = LocalTimeOf(unix_millis);
  char time[32];
  std::snprintf(time, sizeof(time), "%04d%02d%02d%02d%02d%02d%03d_", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return time + program;
}

}  // namespace vexa::port

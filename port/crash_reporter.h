#ifndef VEXA_PORT_CRASH_REPORTER_H_
#define VEXA_PORT_CRASH_REPORTER_H_

#include <cstdint>
#include <string>

namespace vexa::port {

// Writes a report of a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT)
// into the report folder, then lets the signal end the process as it would
// have. Each crash gives two files named after the local time and the program:
//   FOLDER/YYYYMMDDhhmmssmmm_NAMEEXT.exception   text: signal, time, process,
//                                                executable, thread, backtrace
//   FOLDER/YYYYMMDDhhmmssmmm_NAMEEXT.dmp         binary, see below
// The local time follows the zone's rules (daylight-saving changes included)
// as read at install for the next 20 years; later than that, the last offset.
//
// The ".dmp" layout (all integers little-endian):
//   8 bytes  magic "VEXADMP1"
//   u32      signal number        u32 si_code
//   u64      fault address        u64 thread id
//   u32      register count N     N x u64 general registers (the platform's
//                                 ucontext order; 0 where not available)
//   u64      stack pointer        u64 stack byte count S
//   S bytes  raw stack from the stack pointer upwards (at most 64 KiB; cut at
//            the first unreadable page)
//
// Hosts install it once at start; the handler only makes async-signal-safe
// calls and runs on an alternate stack (of the installing thread, and of every
// thread started through StartDetachedThread), so a stack overflow is
// reported too. `argv0` names the program in the file names.
bool InstallCrashReporter(const char* argv0);

// Sets the folder (no trailing separator) that receives reports. Until a
// folder is set, a crash writes nothing. May be called again to move it.
void SetCrashReportFolder(const std::string& folder);

// The base name (without the ".exception"/".dmp" extension) of a report made
// at `unix_millis` (milliseconds since 1970, UTC): "YYYYMMDDhhmmssmmm_" +
// program name + program extension, in local time by the rules read at
// install (UTC before). The handler builds its names with the same code.
std::string CrashReportBaseName(int64_t unix_millis, const std::string& program);

}  // namespace vexa::port

#endif  // VEXA_PORT_CRASH_REPORTER_H_

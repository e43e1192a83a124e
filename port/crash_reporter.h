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
// calls. `argv0` names the program in the file names.
bool InstallCrashReporter(const char* argv0);

// Sets the folder (no trailing separator) that receives reports. Until a
// folder is set, a crash writes nothing. May be called again to move it.
void SetCrashReportFolder(const std::string& folder);

// The base name (without the ".exception"/".dmp" extension) of a report made
// at the given local time: "YYYYMMDDhhmmssmmm_" + program name + program
// extension. Exposed for tests and for the CLI's help text.
std::string CrashReportBaseName(int year, int month, int day, int hour, int minute, int second,
                                int millisecond, const std::string& program);

}  // namespace vexa::port

#endif  // VEXA_PORT_CRASH_REPORTER_H_

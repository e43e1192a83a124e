// Faults on purpose with the crash reporter installed, writing its reports into argv[1]: in its
// own code, or with "foreign" as argv[2] inside a system DLL (which the reporter leaves alone).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "port/crash_reporter.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: crash_host FOLDER [foreign]\n");
    return 2;
  }
  vexa::port::InstallCrashReporter(argv[0]);
  vexa::port::SetCrashReportFolder(argv[1]);
  if (argc > 2 && std::strcmp(argv[2], "foreign") == 0) {
    using Fill = void*(__cdecl*)(void*, int, size_t);
    auto fill = reinterpret_cast<Fill>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "memset")));
    if (fill == nullptr) return 3;
    volatile uintptr_t nowhere = 16;
    fill(reinterpret_cast<void*>(nowhere), 1, 64);
    return 0;
  }
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

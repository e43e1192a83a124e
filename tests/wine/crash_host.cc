// Faults on purpose with the crash reporter installed, writing its reports into argv[1].
#include <cstdio>

#include "port/crash_reporter.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: crash_host FOLDER\n");
    return 2;
  }
  vexa::port::InstallCrashReporter(argv[0]);
  vexa::port::SetCrashReportFolder(argv[1]);
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

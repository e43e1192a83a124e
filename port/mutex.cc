#include "port/mutex.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "port/debug.h"

namespace vexa::port {

void LockContractBroken(const char* what) {
  SystemDebugOut(std::string(what) + "\n");
  std::fprintf(stderr, "%s\n", what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vexa::port

// `vexaupload hash FILE...`: the two identities the upload service knows a
// file by, computed locally.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "apps/cli/command.h"
#include "codec/sha1.h"
#include "codec/sha1_compress.h"
#include "codec/text.h"
#include "port/file.h"
#include "port/last_error.h"

namespace vexa::cli {
namespace {

// The layout of every command's --help.
constexpr char kHashUsage[] =
    "print the file identities (fileid, quickid, size)\n"
    "Usage: vexaupload hash [OPTIONS] FILE...\n"
    "\n"
    "Positionals:\n"
    "  FILE TEXT ... REQUIRED      files to hash (after --, names starting with - too)\n"
    "\n"
    "Options:\n"
    "  -h,--help                   Print this help message and exit\n"
    "  --engine=portable|sha-ni    the SHA-1 code, to compare them: the CPU's SHA extensions (the\n"
    "                              default where it has them) or the portable code\n"
    "\n"
    "Prints one line per file with the identities the upload service recognises content by,\n"
    "separated by single spaces: FILEID QUICKID SIZE PATH. FILEID is the SHA-1 of the whole file\n"
    "(40 upper-case hex digits); QUICKID the SHA-1 of five 5120-byte samples and the size text,\n"
    "the same as FILEID for files of at most 25600 bytes; SIZE the size in bytes.\n"
    "\n"
    "Exit status: 0 every file hashed, 1 a file could not be (a line on standard error names its\n"
    "error code and meaning), 2 bad usage.\n";

// A short English meaning per code of the file digests.
const char* MeaningOf(uint32_t code) {
  switch (code) {
    case port::kErrorFileNotFound:
      return "file not found";
    case port::kErrorPathNotFound:
      return "path not found";
    case port::kErrorTooManyOpenFiles:
      return "too many open files";
    case port::kErrorAccessDenied:
      return "access denied (or not a regular file)";
    case port::kErrorGenFailure:
      return "system error";
    case port::kErrorSharingViolation:
      return "file in use by another program";
    case port::kErrorDiskFull:
      return "disk full";
    case port::kErrorInvalidName:
      return "invalid file name";
    case port::kErrorIoDevice:
      return "I/O device error";
    case kErrHashStopped:
      return "hashing stopped";
    case kErrHashRead:
      return "read error while hashing";
    case kErrHashCorrupted:
      return "digest corrupted";
    case kErrQuickAlloc:
      return "out of memory for the sample buffer";
    case kErrQuickShortRead:
      return "file shorter than expected (changed while hashing?)";
    case kErrQuickDigest:
      return "digest of the samples failed";
    case kErrQuickSmallFile:
      return "digest of a small file failed";
    default:
      return "unknown error";
  }
}

void ReportError(const std::string& path, uint32_t code) {
  std::fprintf(stderr, "vexaupload: %s: error %u: %s\n", path.c_str(), static_cast<unsigned>(code),
               MeaningOf(code));
}

bool HashOne(const std::string& path) {
  uint64_t size = 0;
  if (!port::FileSize64(path, &size)) {
    ReportError(path, port::LastError());
    return false;
  }
  uint32_t error = 0;
  std::string file_id, quick_id;
  if (!Sha1FileHex(&error, HashProgressFn(), path, &file_id)) {
    ReportError(path, error);
    return false;
  }
  if (size <= 25600) {
    quick_id = file_id;  // the same digest by definition: no second read
  } else if (!QuickIdHex(path, &quick_id, &error)) {
    ReportError(path, error);
    return false;
  }
  std::printf("%s %s %s %s\n", file_id.c_str(), quick_id.c_str(), FormatU64(size).c_str(),
              path.c_str());
  return true;
}

int RunHash(int argc, char** argv) {
  std::vector<std::string> paths;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
        std::fputs(kHashUsage, stdout);
        return 0;
      }
      if (std::strcmp(arg, "--") == 0) {
        options_done = true;
        continue;
      }
      if (std::strcmp(arg, "--engine=portable") == 0 || std::strcmp(arg, "--engine=sha-ni") == 0) {
        const bool portable = std::strcmp(arg, "--engine=portable") == 0;
        if (!SetSha1Engine(portable ? Sha1Engine::kPortable : Sha1Engine::kShaNi)) {
          std::fputs("vexaupload hash: this CPU has no SHA extensions\n", stderr);
          return 2;
        }
        continue;
      }
      return UsageError("hash", std::string("unknown option '") + arg + "'");
    }
    paths.emplace_back(arg);
  }
  if (paths.empty()) return UsageError("hash", "no FILE given");
  bool all_ok = true;
  for (const std::string& path : paths) {
    all_ok = HashOne(path) && all_ok;
    std::fflush(stdout);
  }
  return all_ok ? 0 : 1;
}

const CommandRegistrar kHashRegistrar({"hash", "print the file identities (fileid, quickid, size)",
                                       &RunHash});

}  // namespace
}  // namespace vexa::cli

#ifndef VEXA_PORT_FILE_H_
#define VEXA_PORT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vexa::port {

// The local path separator. Remote (service) paths always use '/'.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Every path is UTF-8. On failure each function sets LastError().

// Opens a buffered stream with no sharing restriction, so a file another
// program keeps open can still be read. 64-bit offsets (use Seek64/Tell64).
// Returns null on failure.
std::FILE* OpenFileShared(const std::string& path, const char* mode);
bool Seek64(std::FILE* f, uint64_t offset);
bool SeekEnd64(std::FILE* f);
bool Tell64(std::FILE* f, uint64_t* offset);

// How ScanFile reaches the content. kAuto maps files above 64 KiB, visits the
// parts already in the page cache in place and reads the others; kMapped and
// kRead force one way, for tests and benchmarks (kMapped fails with
// kReadFailed where the file cannot be mapped).
enum class ScanMode { kAuto, kMapped, kRead };
enum class ScanResult { kDone, kStopped, kOpenFailed, kReadFailed };
// Receives consecutive pieces of the content; returning false stops the scan.
// Piece sizes follow the way the file is read and carry no meaning.
using ScanVisitor = std::function<bool(const uint8_t* data, size_t length)>;

// Feeds the content of the file at `path` to `visit`, front to back, for
// digests that read every byte once. Content in the page cache is visited in
// place through read-only windows of a mapping (sequential advice), so no
// byte is copied, while a short-lived helper thread does the paging work (is
// the next window cached, fill its page tables, unmap the window before);
// content still on the disk, and files that cannot be mapped (some network
// file systems, /proc), are read in 64 KiB blocks. `visit` runs on the calling
// thread. Bytes appended while scanning are read to the end, as a read loop
// would.
//
// A file truncated while mapped is kReadFailed, never a SIGBUS: the first scan
// installs a SIGBUS handler that turns a fault inside the scanned mapping into
// a read failure of that scan and hands every other SIGBUS to the handler that
// was installed before it (a crash reporter installed at start keeps working).
// Should another handler replace it later, files are read instead of mapped.
// Because the scan may jump out of `visit` on such a fault, the code that
// touches `data` must hold no resources (locks, allocations) while it does.
//
// kOpenFailed sets LastError() with the codes of OpenFileShared.
ScanResult ScanFile(const std::string& path, ScanMode mode, const ScanVisitor& visit);

// Size of the file, with 64-bit range. False (size untouched) when the file
// cannot be opened.
bool FileSize64(const std::string& path, uint64_t* size);
// The file's last modification time in nanoseconds since 1970 (as fine as the
// file system keeps it). False when it cannot be read.
bool FileModifiedTime(const std::string& path, int64_t* nanoseconds);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// Whether `path` itself is a symbolic link (or, on Windows, any reparse
// point), without following it. False when it cannot be read.
bool IsSymbolicLink(const std::string& path);

// Creates every folder that ends before a separator in `path`, left to right.
// Returns whether `path` exists afterwards: a path whose last folder is not
// followed by a separator has that folder left uncreated and yields false.
// New folders get `mode` (0700 for the data folder).
bool CreateDirectories(const std::string& path, unsigned mode = 0755);

// Entries of a folder listing. Symbolic links are reported as such and never
// followed by the caller's walk.
enum class EntryKind { kFile, kDirectory, kSymlink, kOther };
struct DirEntry {
  std::string name;
  EntryKind kind;
};
// Lists the entries of `dir` other than "." and "..". False on failure.
bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out);

bool RemoveFile(const std::string& path);
// Replaces `to` by `from` atomically (same folder).
bool RenameFile(const std::string& from, const std::string& to);
// Gives `to` as a second name of the file `from` (a hard link); false when
// `to` exists already.
bool LinkFile(const std::string& from, const std::string& to);
// Flushes a stream's data to the disk (fflush + fsync).
bool SyncFile(std::FILE* f);
// Hands the stream's buffered data to the system and has the disk start on
// the file without waiting for it (a hint: SyncFile is still what makes the
// data durable).
void StartFileSync(std::FILE* f);
// Cuts the stream's file to `size` bytes (after flushing its buffer).
bool TruncateFile(std::FILE* f, uint64_t size);
// Flushes a folder's entries (after a rename) to the disk.
bool SyncDirectory(const std::string& dir);
// Sets the permission bits of a file or folder (ignored where not supported).
bool SetPermissions(const std::string& path, unsigned mode);

// Reads the whole file. False (`out` untouched) on failure.
bool ReadWholeFile(const std::string& path, std::string* out);
// Replaces the file's content durably: writes a temporary file beside it
// (with `mode`), flushes it to the disk and renames it over the old one, so a
// crash leaves either the old content or the new, never a part.
bool WriteFileReplacing(const std::string& path, const std::string& text, unsigned mode = 0600);

}  // namespace vexa::port

#endif  // VEXA_PORT_FILE_H_

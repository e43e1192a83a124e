#ifndef VEXA_PORT_FILE_H_
#define VEXA_PORT_FILE_H_

#include <cstdint>
#include <cstdio>
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

// Size of the file, with 64-bit range. False (size untouched) when the file
// cannot be opened.
bool FileSize64(const std::string& path, uint64_t* size);
// The file's last modification time in nanoseconds since 1970 (as fine as the
// file system keeps it). False when it cannot be read.
bool FileModifiedTime(const std::string& path, int64_t* nanoseconds);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);

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
// Flushes a stream's data to the disk (fflush + fsync).
bool SyncFile(std::FILE* f);
// Flushes a folder's entries (after a rename) to the disk.
bool SyncDirectory(const std::string& dir);
// Sets the permission bits of a file or folder (ignored where not supported).
bool SetPermissions(const std::string& path, unsigned mode);

}  // namespace vexa::port

#endif  // VEXA_PORT_FILE_H_

#include <windows.h>
#include <io.h>
#include <share.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "port/file.h"
#include "port/last_error.h"
#include "port/win32/wide_path.h"

namespace vexa::port {
namespace {

constexpr DWORD kReadBlock = 1 << 20;
constexpr uint64_t kMapWindow = 16 << 20;

bool Fail() {
  SetLastError(::GetLastError());
  return false;
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, data)) return Fail();
  return true;
}

uint64_t SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& d) {
  return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

struct HandleCloser {
  HANDLE h;
  ~HandleCloser() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};

ScanResult ScanRead(HANDLE file, const ScanVisitor& visit) {
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kReadBlock]);
  if (!block) return ScanResult::kReadFailed;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, block.get(), kReadBlock, &got, nullptr)) {
      Fail();
      return ScanResult::kReadFailed;
    }
    if (got == 0) return ScanResult::kDone;
    if (!visit(block.get(), got)) return ScanResult::kStopped;
  }
}

// Windows refuses to shorten a file while a view of it is mapped, so a mapped
// scan cannot fault on a truncated file as it could on POSIX.
ScanResult ScanMapped(HANDLE file, uint64_t size, const ScanVisitor& visit) {
  if (size == 0) return ScanResult::kDone;
  HandleCloser mapping{::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr)};
  if (mapping.h == nullptr) {
    Fail();
    return ScanResult::kReadFailed;
  }
  for (uint64_t offset = 0; offset < size; offset += kMapWindow) {
    const size_t length =
        static_cast<size_t>(size - offset < kMapWindow ? size - offset : kMapWindow);
    const void* view = ::MapViewOfFile(mapping.h, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                                       static_cast<DWORD>(offset), length);
    if (view == nullptr) {
      Fail();
      return ScanResult::kReadFailed;
    }
    const bool go_on = visit(static_cast<const uint8_t*>(view), length);
    ::UnmapViewOfFile(view);
    if (!go_on) return ScanResult::kStopped;
  }
  return ScanResult::kDone;
}

}  // namespace

std::FILE* OpenFileShared(const std::string& path, const char* mode) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (Attributes(path, &data) &&
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  const std::wstring wmode = Widen(mode);
  _doserrno = 0;
  std::FILE* f = ::_wfsopen(WidePath(path).c_str(), wmode.c_str(), _SH_DENYNO);
  if (f == nullptr) {
    // The runtime keeps the system's own code (2, 3, 32, 123, ...) beside errno.
    if (_doserrno != 0) {
      SetLastError(static_cast<uint32_t>(_doserrno));
    } else {
      SetLastErrorFromErrno();
    }
  }
  return f;
}

bool Seek64(std::FILE* f, uint64_t offset) {
  if (::_fseeki64(f, static_cast<__int64>(offset), SEEK_SET) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool SeekEnd64(std::FILE* f) {
  if (::_fseeki64(f, 0, SEEK_END) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool Tell64(std::FILE* f, uint64_t* offset) {
  const __int64 pos = ::_ftelli64(f);
  if (pos < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  *offset = static_cast<uint64_t>(pos);
  return true;
}

ScanResult ScanFile(const std::string& path, ScanMode mode, const ScanVisitor& visit) {
  HandleCloser file{::CreateFileW(WidePath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) {
    Fail();
    return ScanResult::kOpenFailed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file.h, &info)) {
    Fail();
    return ScanResult::kOpenFailed;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ::GetFileType(file.h) != FILE_TYPE_DISK) {
    SetLastError(kErrorAccessDenied);
    return ScanResult::kOpenFailed;
  }
  if (mode == ScanMode::kMapped) {
    return ScanMapped(file.h, (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                      visit);
  }
  return ScanRead(file.h, visit);
}

bool FileSize64(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  *size = SizeOf(data);
  return true;
}

bool FileModifiedTime(const std::string& path, int64_t* nanoseconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  const int64_t t =
      static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime);
  // 100 ns units since 1601-01-01.
  *nanoseconds = (t - 116444736000000000LL) * 100;
  return true;
}

bool PathExists(const std::string& path) {
  if (::GetFileAttributesW(WidePath(path).c_str()) == INVALID_FILE_ATTRIBUTES) return Fail();
  return true;
}

bool IsDirectory(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Fail();
  return (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Fail();
  return (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool IsSymbolicLink(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(WidePath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return Fail();
  return (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool CreateDirectories(const std::string& path, unsigned) {
  if (PathExists(path)) return true;
  // Either slash ends a folder; a drive, a share or a doubled slash names none.
  for (size_t pos = PathRootLength(path); pos < path.size(); ++pos) {
    if (!IsPathSlash(path[pos]) || (pos > 0 && IsPathSlash(path[pos - 1]))) continue;
    const std::string prefix = path.substr(0, pos);
    if (!PathExists(prefix) && !::CreateDirectoryW(WidePath(prefix).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return Fail();
    }
  }
  return PathExists(path);
}

bool ListDirectory(const std::string& dir, std::vector<DirEntry>* out) {
  std::string pattern = dir;
  if (!pattern.empty() && !IsPathSlash(pattern.back())) pattern.push_back(kPathSeparator);
  pattern.push_back('*');
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW(WidePath(pattern).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return Fail();
  do {
    const std::string name = Narrow(fd.cFileName);
    if (name == "." || name == "..") continue;
    EntryKind kind = EntryKind::kFile;
    // Symbolic links and junctions are never followed: either may loop.
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        (fd.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
         fd.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)) {
      kind = EntryKind::kSymlink;
    } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      kind = EntryKind::kDirectory;
    } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      kind = EntryKind::kOther;
    }
    out->push_back({name, kind});
  } while (::FindNextFileW(h, &fd));
  const DWORD err = ::GetLastError();
  ::FindClose(h);
  if (err != ERROR_NO_MORE_FILES) {
    SetLastError(err);
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  if (!::DeleteFileW(WidePath(path).c_str())) return Fail();
  return true;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (!::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return Fail();
  }
  return true;
}

bool SyncFile(std::FILE* f) {
  if (std::fflush(f) != 0 || ::_commit(::_fileno(f)) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

// A rename with MOVEFILE_WRITE_THROUGH is on the disk when it returns.
bool LinkFile(const std::string& from, const std::string& to) {
  if (!::CreateHardLinkW(WidePath(to).c_str(), WidePath(from).c_str(), nullptr)) return Fail();
  return true;
}

void StartFileSync(std::FILE* f) { std::fflush(f); }

bool TruncateFile(std::FILE* f, uint64_t size) {
  if (std::fflush(f) != 0 || ::_chsize_s(::_fileno(f), static_cast<__int64>(size)) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

// NTFS journals names, but its journal is on the disk only once flushed, and
// a folder opened for writing flushes like a file. A volume or account that
// does not allow it (FAT, a share, a denied write) keeps names as durably as
// it can, which is not a failure of ours; a missing folder is.
bool SyncDirectory(const std::string& dir) {
  HANDLE h = ::CreateFileW(WidePath(dir).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  auto unsupported = [](DWORD e) {
    return e == ERROR_ACCESS_DENIED || e == ERROR_INVALID_FUNCTION ||
           e == ERROR_INVALID_PARAMETER || e == ERROR_NOT_SUPPORTED;
  };
  if (h == INVALID_HANDLE_VALUE) return unsupported(::GetLastError()) ? true : Fail();
  const bool ok = ::FlushFileBuffers(h) != 0 || unsupported(::GetLastError());
  if (!ok) Fail();
  ::CloseHandle(h);
  return ok;
}

// Folders and files inherit the access rules of the user's profile.
bool SetPermissions(const std::string&, unsigned) { return true; }

}  // namespace vexa::port

#include <cstdio>

#include "port/file.h"

// The whole-file helpers, made of the primitives of each platform's file_*.cc.
namespace vexa::port {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t pos = path.rfind(kPathSeparator);
  return pos == std::string::npos ? std::string(".") : path.substr(0, pos + 1);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::FILE* f = OpenFileShared(path, "rb");
  if (f == nullptr) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  if (ok) out->swap(text);
  return ok;
}

bool WriteFileReplacing(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = OpenFileShared(tmp, "wb");
  if (f == nullptr) return false;
  SetPermissions(tmp, 0600);
  bool ok = text.empty() || std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = SyncFile(f) && ok;
  ok = std::fclose(f) == 0 && ok;
  if (ok) ok = RenameFile(tmp, path);
  if (!ok) {
    RemoveFile(tmp);
    return false;
  }
  SyncDirectory(FolderOf(path));
  return true;
}

}  // namespace vexa::port

#include "port/file.h"

#include <cstdio>

#include "port/env.h"

// The whole-file helpers, made of the primitives of each platform's file_*.cc.
namespace vexa::port {

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

bool WriteFileReplacing(const std::string& path, const std::string& text, unsigned mode) {
  return Env::Default()->WriteFileReplacing(path, text, mode);
}

}  // namespace vexa::port

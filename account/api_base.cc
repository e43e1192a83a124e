#include "account/api_base.h"

#include <cstdlib>

#include "account/account_file.h"
#include "codec/text.h"
#include "port/file.h"

namespace vexa {
namespace {

bool ApiBasePath(std::string* path) {
  std::string folder;
  if (!GetDataFolder(&folder)) return false;
  *path = folder + kApiBaseFileName;
  return true;
}

}  // namespace

bool ReadRememberedApiBase(std::string* base) {
  std::string path, text;
  if (!ApiBasePath(&path) || !port::ReadWholeFile(path, &text)) return false;
  text = Trim(text.substr(0, text.find('\n')));
  if (text.empty()) return false;
  *base = text;
  return true;
}

bool WriteRememberedApiBase(const std::string& base) {
  std::string path;
  if (base.empty() || base.find_first_of("\r\n") != std::string::npos || !ApiBasePath(&path))
    return false;
  return port::WriteFileReplacing(path, base + "\n");
}

std::string ChooseApiBase(const std::string& option) {
  if (!option.empty()) return option;
  if (const char* env = std::getenv(kApiBaseVariable); env && *env) return env;
  std::string remembered;
  ReadRememberedApiBase(&remembered);
  return remembered;
}

}  // namespace vexa

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "port/data_folder.h"
#include "port/debug.h"
#include "port/env.h"
#include "port/file.h"

namespace vexa::port {

std::string GetDataFolder() {
  std::string dir;
  if (const char* d = std::getenv("VEXAUPLOAD_DATA_DIR"); d != nullptr && *d != '\0') {
    dir = d;
  } else {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && *x != '\0') {
      dir = x;
    } else if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0') {
      dir = std::string(h) + "/.local/share";
    } else {
      return std::string();
    }
    dir += "/vexabackup/upload";
  }
  if (dir.back() != kPathSeparator) dir.push_back(kPathSeparator);
  // Durably: the records and the account file put in it are synced, and
  // would be lost with the folder's name after a power loss.
  if (!CurrentEnv()->CreateDirectoriesDurably(dir, 0700)) {
    DebugOut("DATA FOLDER: cannot create " + dir + "\n");
    return std::string();
  }
  // It holds the password digest, which logs in as the password: a folder
  // someone else owns (made in advance to read or replace our files) is not
  // used, and one we own but left open is closed.
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::string();
  if (st.st_uid != ::getuid()) {
    DebugOut("DATA FOLDER: " + dir + " belongs to another user; not used\n");
    return std::string();
  }
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return std::string();
  return dir;
}

}  // namespace vexa::port

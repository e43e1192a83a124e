#include "account/account_file.h"

#include "codec/text.h"
#include "port/data_folder.h"
#include "port/debug.h"
#include "port/file.h"

namespace vexa {

bool GetDataFolder(std::string* folder) {
  // Not cached: the folder follows the environment, so tests can move it.
  std::string dir = port::GetDataFolder();
  if (dir.empty()) return false;
  *folder = dir;
  return true;
}

IniFile& AccountFile() {
  static IniFile* file = new IniFile();
  return *file;
}

void EnsureAccountFilePath() {
  IniFile& file = AccountFile();
  port::MutexLock l(file.mutex());
  if (!file.path().empty()) return;
  std::string folder;
  if (!GetDataFolder(&folder)) return;
  port::CreateDirectories(folder, 0700);
  const std::string path = folder + "account.ini";
  file.SetPath(path);
  port::DebugOut("ACCOUNT PATH: " + path);
}

void ForgetAccountFile() {
  IniFile& file = AccountFile();
  port::MutexLock l(file.mutex());
  file.SetPath(std::string());
  file.Clear();
}

bool ReadRememberedAccount(std::string* account, std::string* digest, bool* remember,
                           bool* auto_login) {
  EnsureAccountFilePath();
  IniFile& file = AccountFile();
  port::MutexLock l(file.mutex());
  if (!file.path().empty()) file.Load();
  *remember = false;
  *auto_login = false;
  const std::vector<std::string> names = file.SectionNames();
  if (names.empty()) {
    account->clear();
    digest->clear();
    return false;
  }
  const std::string& section = names.front();
  std::string remember_text;
  std::string auto_text;
  if (!file.Get(section, "account", account) || !file.Get(section, "session", digest) ||
      !file.Get(section, "remember", &remember_text) || !file.Get(section, "auto", &auto_text)) {
    return false;
  }
  *remember = ParseU64(remember_text) != 0;
  *auto_login = ParseU64(auto_text) != 0;
  return true;
}

bool WriteRememberedAccount(const std::string& user_id, const std::string& account,
                            const std::string& digest, bool remember, bool auto_login) {
  EnsureAccountFilePath();
  IniFile& file = AccountFile();
  port::MutexLock l(file.mutex());
  file.Clear();
  bool ok = file.Set(user_id, "account", account);
  ok = file.Set(user_id, "session", remember ? digest : std::string()) && ok;
  ok = file.Set(user_id, "remember", remember ? "1" : "0") && ok;
  ok = file.Set(user_id, "auto", auto_login ? "1" : "0") && ok;
  return file.Save() && ok;
}

}  // namespace vexa

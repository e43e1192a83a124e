#ifndef VEXA_ACCOUNT_ACCOUNT_FILE_H_
#define VEXA_ACCOUNT_ACCOUNT_FILE_H_

#include <string>

#include "account/ini_file.h"

namespace vexa {

// The per-user folder that holds every file of the system, ending with a
// separator. False (folder untouched) when the platform cannot give one.
bool GetDataFolder(std::string* folder);

// The process-wide store of "account.ini".
IniFile& AccountFile();

// Sets the account file's path to the data folder followed by "account.ini"
// when it is not set yet. Without a data folder no path is set, so the account
// is then neither written nor read (rather than landing in whatever folder the
// process happens to run in).
void EnsureAccountFilePath();

// Forgets the account file's path and content (logout); the file stays.
void ForgetAccountFile();

// Reads the first account of the file again from disk. False when the file
// has no section or the section lacks one of its four keys.
bool ReadRememberedAccount(std::string* account, std::string* digest, bool* remember,
                           bool* auto_login);

// Replaces the file's content by one section named `user_id` and saves it.
// The digest is kept only when `remember` is set. The whole sequence runs
// under the store's lock, so a concurrent read never mixes old and new.
bool WriteRememberedAccount(const std::string& user_id, const std::string& account,
                            const std::string& digest, bool remember, bool auto_login);

}  // namespace vexa

#endif  // VEXA_ACCOUNT_ACCOUNT_FILE_H_

#include "server/metadata.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

#include "server/names.h"

namespace vexa::server {

namespace {

#define SESSION_COLUMNS                                                                \
  "(id INTEGER PRIMARY KEY AUTOINCREMENT, user_id INTEGER NOT NULL,"                   \
  "  pickcode TEXT NOT NULL UNIQUE, folder INTEGER NOT NULL, name TEXT NOT NULL,"      \
  "  size INTEGER NOT NULL, fileid TEXT NOT NULL, quickid TEXT NOT NULL,"              \
  "  offset INTEGER NOT NULL, upload_key TEXT NOT NULL, upload_time INTEGER NOT NULL," \
  "  touched INTEGER NOT NULL)"

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS users("
    "  id INTEGER PRIMARY KEY, account TEXT NOT NULL UNIQUE, digest TEXT NOT NULL,"
    "  quota INTEGER NOT NULL, root INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS logins("
    "  userkey TEXT PRIMARY KEY, user_id INTEGER NOT NULL, resource TEXT NOT NULL,"
    "  issued INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS logins_user ON logins(user_id, issued);"
    "CREATE TABLE IF NOT EXISTS folders("
    "  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL, UNIQUE(user_id, parent, name));"
    "CREATE TABLE IF NOT EXISTS blobs("
    "  sha1 TEXT PRIMARY KEY, size INTEGER NOT NULL, quickid TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS blobs_quick ON blobs(quickid, size);"
    "CREATE TABLE IF NOT EXISTS files("
    "  id INTEGER PRIMARY KEY, user_id INTEGER NOT NULL, folder INTEGER NOT NULL,"
    "  name TEXT NOT NULL, size INTEGER NOT NULL, sha1 TEXT NOT NULL,"
    "  pickcode TEXT NOT NULL UNIQUE, created INTEGER NOT NULL,"
    "  upload_key TEXT NOT NULL DEFAULT '', UNIQUE(folder, name));"
    "CREATE INDEX IF NOT EXISTS files_user ON files(user_id);"
    "CREATE TABLE IF NOT EXISTS sessions" SESSION_COLUMNS ";";

// Session ids are never reused (AUTOINCREMENT): a range that looked its
// session up before a cancel must not find a newer session under that id.
// Databases made before get their table rebuilt once.
const char kRebuildSessions[] =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE sessions_new" SESSION_COLUMNS
    ";"
    "INSERT INTO sessions_new SELECT * FROM sessions;"
    "DROP TABLE sessions;"
    "ALTER TABLE sessions_new RENAME TO sessions;"
    "COMMIT;";

// A prepared statement with positional binding; finalized on destruction.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "vexa-server: sql error: %s (%s)\n", sqlite3_errmsg(db), sql);
      stmt_ = nullptr;
      failed_ = true;
    }
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  // Whether preparing or a step failed, so that "no row" can be told from
  // "no answer".
  bool failed() const { return failed_; }
  Stmt& Bind(int i, int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    if (stmt_) sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // True while a row is available.
  bool Row() {
    if (!stmt_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Report();
    return false;
  }
  // Runs a statement that returns no rows.
  bool Run() {
    if (!stmt_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
    Report();
    return false;
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
             : std::string();
  }

 private:
  void Report() {
    failed_ = true;
    std::fprintf(stderr, "vexa-server: sql error: %s\n", sqlite3_errmsg(db_));
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  bool failed_ = false;
};

const char kSessionColumns[] =
    "SELECT id, user_id, pickcode, folder, name, size, fileid, quickid, offset, upload_key,"
    " upload_time FROM sessions ";

void ReadSession(Stmt& s, Session* out) {
  out->id = s.Int(0);
  out->user = s.Int(1);
  out->pickCode = s.Text(2);
  out->folder = s.Int(3);
  out->name = s.Text(4);
  out->size = static_cast<uint64_t>(s.Int(5));
  out->fileId = s.Text(6);
  out->quickId = s.Text(7);
  out->offset = static_cast<uint64_t>(s.Int(8));
  out->upload_key = s.Text(9);
  out->upload_time = s.Int(10);
}

const char kFileColumns[] =
    "SELECT id, user_id, folder, name, size, sha1, pickcode, upload_key FROM files ";

void ReadFile(Stmt& s, FileEntry* out) {
  out->id = s.Int(0);
  out->user = s.Int(1);
  out->folder = s.Int(2);
  out->name = s.Text(3);
  out->size = static_cast<uint64_t>(s.Int(4));
  out->sha1 = s.Text(5);
  out->pickCode = s.Text(6);
  out->upload_key = s.Text(7);
}

Lookup ReadUser(Stmt& s, User* user) {
  if (!s.Row()) return s.failed() ? Lookup::kFailed : Lookup::kNotFound;
  user->id = s.Int(0);
  user->account = s.Text(1);
  user->digest = s.Text(2);
  user->quota = static_cast<uint64_t>(s.Int(3));
  user->root = s.Int(4);
  return Lookup::kFound;
}

// The one number an aggregate query answers; false when it failed (an
// aggregate always answers a row).
bool ReadCount(Stmt& s, uint64_t* out) {
  if (!s.Row()) return false;
  *out = static_cast<uint64_t>(s.Int(0));
  return true;
}

// Folder paths of one user: id -> "/"-joined names below the root ("" for it).
std::map<int64_t, std::string> FolderPaths(sqlite3* db, int64_t user) {
  std::map<int64_t, std::pair<int64_t, std::string>> folders;
  Stmt s(db, "SELECT id, parent, name FROM folders WHERE user_id = ?");
  s.Bind(1, user);
  while (s.Row()) folders[s.Int(0)] = {s.Int(1), s.Text(2)};
  std::map<int64_t, std::string> paths;
  std::function<std::string(int64_t, int)> path_of = [&](int64_t id, int depth) -> std::string {
    auto known = paths.find(id);
    if (known != paths.end()) return known->second;
    auto it = folders.find(id);
    if (it == folders.end() || it->second.first == 0 || depth > 1000) return "";
    std::string parent = path_of(it->second.first, depth + 1);
    std::string p = parent.empty() ? it->second.second : parent + "/" + it->second.second;
    paths[id] = p;
    return p;
  };
  for (const auto& f : folders) paths[f.first] = path_of(f.first, 0);
  return paths;
}

}  // namespace

Metadata::~Metadata() {
  if (db_ != nullptr) sqlite3_close(db_);
}

bool Metadata::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "vexa-server: sql error: %s\n", message ? message : "?");
    sqlite3_free(message);
    return false;
  }
  return true;
}

bool Metadata::Open(const std::string& path, std::string* error) {
  if (sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    *error = "cannot open " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  // WAL with synchronous FULL: a commit is on the disk when it returns.
  if (!Exec("PRAGMA journal_mode=WAL;") || !Exec("PRAGMA synchronous=FULL;") ||
      !Exec("PRAGMA foreign_keys=ON;") || !Exec(kSchema)) {
    *error = "cannot prepare the database " + path;
    return false;
  }
  bool rebuild;
  {
    Stmt old(
        db_,
        "SELECT 1 FROM sqlite_master WHERE name = 'sessions' AND sql NOT LIKE '%AUTOINCREMENT%'");
    rebuild = old.Row();
  }
  if (rebuild && !Exec(kRebuildSessions)) {
    Exec("ROLLBACK;");
    *error = "cannot upgrade the sessions of " + path;
    return false;
  }
  // Logins expire once idle; older databases knew only when they were made.
  bool add_used;
  {
    Stmt has(db_, "SELECT 1 FROM pragma_table_info('logins') WHERE name = 'used'");
    add_used = !has.Row();
  }
  if ((add_used && !Exec("BEGIN IMMEDIATE;"
                         "ALTER TABLE logins ADD COLUMN used INTEGER NOT NULL DEFAULT 0;"
                         "UPDATE logins SET used = issued;"
                         "COMMIT;")) ||
      !Exec("CREATE INDEX IF NOT EXISTS logins_used ON logins(user_id, used);"
            // After the rebuild above, which drops the table's indexes.
            "CREATE INDEX IF NOT EXISTS sessions_touched ON sessions(touched);"
            "CREATE INDEX IF NOT EXISTS sessions_user ON sessions(user_id);")) {
    Exec("ROLLBACK;");
    *error = "cannot upgrade the logins of " + path;
    return false;
  }
  return true;
}

bool Metadata::UpsertUser(const std::string& account, const std::string& digest, uint64_t quota) {
  if (!Exec("BEGIN IMMEDIATE;")) return false;
  bool ok;
  User existing;
  const Lookup found = FindUserByAccount(account, &existing);
  if (found == Lookup::kFailed) {
    ok = false;
  } else if (found == Lookup::kFound) {
    Stmt s(db_, "UPDATE users SET digest = ?, quota = ? WHERE id = ?");
    ok = s.Bind(1, digest).Bind(2, static_cast<int64_t>(quota)).Bind(3, existing.id).Run();
  } else {
    Stmt s(db_, "INSERT INTO users(account, digest, quota) VALUES(?, ?, ?)");
    ok = s.Bind(1, account).Bind(2, digest).Bind(3, static_cast<int64_t>(quota)).Run();
    int64_t user = sqlite3_last_insert_rowid(db_);
    if (ok) {
      Stmt f(db_, "INSERT INTO folders(user_id, parent, name) VALUES(?, 0, '')");
      ok = f.Bind(1, user).Run();
    }
    if (ok) {
      Stmt u(db_, "UPDATE users SET root = ? WHERE id = ?");
      ok = u.Bind(1, sqlite3_last_insert_rowid(db_)).Bind(2, user).Run();
    }
  }
  if (!ok) {
    Exec("ROLLBACK;");
    return false;
  }
  return Exec("COMMIT;");
}

Lookup Metadata::FindUserByAccount(const std::string& account, User* user) {
  Stmt s(db_, "SELECT id, account, digest, quota, root FROM users WHERE account = ?");
  s.Bind(1, account);
  return ReadUser(s, user);
}

Lookup Metadata::FindUser(int64_t id, User* user) {
  Stmt s(db_, "SELECT id, account, digest, quota, root FROM users WHERE id = ?");
  s.Bind(1, id);
  return ReadUser(s, user);
}

std::vector<User> Metadata::ListUsers() {
  std::vector<User> users;
  Stmt s(db_, "SELECT id, account, digest, quota, root FROM users ORDER BY id");
  User u;
  while (ReadUser(s, &u) == Lookup::kFound) users.push_back(u);
  return users;
}

bool Metadata::UsedBytes(int64_t user, uint64_t* out) {
  Stmt s(db_, "SELECT COALESCE(SUM(size), 0) FROM files WHERE user_id = ?");
  s.Bind(1, user);
  return ReadCount(s, out);
}

bool Metadata::ReservedBytes(int64_t user, int64_t except_session, uint64_t* out) {
  Stmt s(db_, "SELECT COALESCE(SUM(size), 0) FROM sessions WHERE user_id = ? AND id != ?");
  s.Bind(1, user).Bind(2, except_session);
  return ReadCount(s, out);
}

bool Metadata::AddLogin(int64_t user, const std::string& key, const std::string& resource,
                        int64_t now) {
  Stmt s(db_, "INSERT INTO logins(userkey, user_id, resource, issued, used) VALUES(?, ?, ?, ?, ?)");
  if (!s.Bind(1, key).Bind(2, user).Bind(3, resource).Bind(4, now).Bind(5, now).Run()) return false;
  // Keep the most recently used logins of the user only: the idle ones go.
  Stmt trim(
      db_,
      "DELETE FROM logins WHERE user_id = ? AND userkey NOT IN ("
      "SELECT userkey FROM logins WHERE user_id = ? ORDER BY used DESC, rowid DESC LIMIT 32)");
  return trim.Bind(1, user).Bind(2, user).Run();
}

std::vector<std::string> Metadata::LoginKeys(int64_t user, int64_t now, int64_t max_idle) {
  std::vector<std::string> keys;
  Stmt s(db_, "SELECT userkey FROM logins WHERE user_id = ? AND used >= ?");
  s.Bind(1, user).Bind(2, now - max_idle);
  while (s.Row()) keys.push_back(s.Text(0));
  return keys;
}

bool Metadata::UseLogin(const std::string& key, int64_t now) {
  Stmt s(db_, "UPDATE logins SET used = ?1 WHERE userkey = ?2 AND used < ?1");
  return s.Bind(1, now).Bind(2, key).Run();
}

bool Metadata::UseResource(int64_t user, const std::string& resource, int64_t now,
                           int64_t max_idle) {
  std::string key;
  {
    Stmt s(db_, "SELECT userkey FROM logins WHERE user_id = ? AND resource = ? AND used >= ?");
    s.Bind(1, user).Bind(2, resource).Bind(3, now - max_idle);
    if (!s.Row()) return false;
    key = s.Text(0);
  }
  UseLogin(key, now);
  return true;
}

bool Metadata::FolderOwnedBy(int64_t folder, int64_t user) {
  Stmt s(db_, "SELECT 1 FROM folders WHERE id = ? AND user_id = ?");
  s.Bind(1, folder).Bind(2, user);
  return s.Row();
}

bool Metadata::FindFolder(int64_t user, int64_t parent, const std::string& name, int64_t* id) {
  Stmt s(db_, "SELECT id FROM folders WHERE user_id = ? AND parent = ? AND name = ?");
  s.Bind(1, user).Bind(2, parent).Bind(3, name);
  if (!s.Row()) return false;
  *id = s.Int(0);
  return true;
}

bool Metadata::FindOrCreateFolder(int64_t user, int64_t parent, const std::string& name,
                                  int64_t* id) {
  if (FindFolder(user, parent, name, id)) return true;
  Stmt s(db_, "INSERT INTO folders(user_id, parent, name) VALUES(?, ?, ?)");
  if (!s.Bind(1, user).Bind(2, parent).Bind(3, name).Run()) return false;
  *id = sqlite3_last_insert_rowid(db_);
  return true;
}

bool Metadata::FindBlob(const std::string& sha1, uint64_t* size) {
  Stmt s(db_, "SELECT size FROM blobs WHERE sha1 = ?");
  s.Bind(1, sha1);
  if (!s.Row()) return false;
  *size = static_cast<uint64_t>(s.Int(0));
  return true;
}

bool Metadata::QuickIdKnown(const std::string& quick_id, uint64_t size) {
  Stmt s(db_, "SELECT 1 FROM blobs WHERE quickid = ? AND size = ?");
  s.Bind(1, quick_id).Bind(2, static_cast<int64_t>(size));
  return s.Row();
}

bool Metadata::FindFile(int64_t folder, const std::string& name, FileEntry* file) {
  Stmt s(db_, (std::string(kFileColumns) + "WHERE folder = ? AND name = ?").c_str());
  s.Bind(1, folder).Bind(2, name);
  if (!s.Row()) return false;
  ReadFile(s, file);
  return true;
}

bool Metadata::FindFileByPickCode(int64_t user, const std::string& pick_code, FileEntry* file) {
  Stmt s(db_, (std::string(kFileColumns) + "WHERE user_id = ? AND pickcode = ?").c_str());
  s.Bind(1, user).Bind(2, pick_code);
  if (!s.Row()) return false;
  ReadFile(s, file);
  return true;
}

bool Metadata::PutFile(const FileEntry& file) {
  // A name taken in the folder gets a number: replacing the older file
  // would lose it.
  std::string name = file.name;
  FileEntry taken;
  for (int n = 2; FindFile(file.folder, name, &taken); ++n) name = NumberedName(file.name, n);
  Stmt s(db_,
         "INSERT INTO files(user_id, folder, name, size, sha1, pickcode, created, upload_key)"
         " VALUES(?, ?, ?, ?, ?, ?, strftime('%s','now'), ?)");
  return s.Bind(1, file.user)
      .Bind(2, file.folder)
      .Bind(3, name)
      .Bind(4, static_cast<int64_t>(file.size))
      .Bind(5, file.sha1)
      .Bind(6, file.pickCode)
      .Bind(7, file.upload_key)
      .Run();
}

std::vector<std::string> Metadata::DropUnreferencedBlobs() {
  std::vector<std::string> gone;
  Stmt s(db_, "SELECT sha1 FROM blobs WHERE sha1 NOT IN (SELECT sha1 FROM files)");
  while (s.Row()) gone.push_back(s.Text(0));
  Stmt d(db_, "DELETE FROM blobs WHERE sha1 NOT IN (SELECT sha1 FROM files)");
  return d.Run() ? gone : std::vector<std::string>();
}

bool Metadata::CountSessions(int64_t user, uint64_t* out) {
  Stmt s(db_, "SELECT COUNT(*) FROM sessions WHERE user_id = ?");
  s.Bind(1, user);
  return ReadCount(s, out);
}

bool Metadata::PickCodeInUse(const std::string& pick_code) {
  Stmt s(db_,
         "SELECT 1 FROM files WHERE pickcode = ?1 UNION ALL SELECT 1 FROM sessions WHERE pickcode "
         "= ?1");
  s.Bind(1, pick_code);
  return s.Row();
}

bool Metadata::CreateSession(Session* session) {
  Stmt s(db_,
         "INSERT INTO sessions(user_id, pickcode, folder, name, size, fileid, quickid, offset,"
         " upload_key, upload_time, touched) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?10)");
  bool ok = s.Bind(1, session->user)
                .Bind(2, session->pickCode)
                .Bind(3, session->folder)
                .Bind(4, session->name)
                .Bind(5, static_cast<int64_t>(session->size))
                .Bind(6, session->fileId)
                .Bind(7, session->quickId)
                .Bind(8, static_cast<int64_t>(session->offset))
                .Bind(9, session->upload_key)
                .Bind(10, session->upload_time)
                .Run();
  if (ok) session->id = sqlite3_last_insert_rowid(db_);
  return ok;
}

bool Metadata::FindSession(int64_t user, const std::string& pick_code, Session* session) {
  Stmt s(db_, (std::string(kSessionColumns) + "WHERE user_id = ? AND pickcode = ?").c_str());
  s.Bind(1, user).Bind(2, pick_code);
  if (!s.Row()) return false;
  ReadSession(s, session);
  return true;
}

bool Metadata::FindSessionById(int64_t id, Session* session) {
  Stmt s(db_, (std::string(kSessionColumns) + "WHERE id = ?").c_str());
  s.Bind(1, id);
  if (!s.Row()) return false;
  ReadSession(s, session);
  return true;
}

bool Metadata::UpdateSession(const Session& session) {
  Stmt s(db_,
         "UPDATE sessions SET upload_key = ?1, upload_time = ?2, fileid = ?3, quickid = ?4,"
         " touched = MAX(touched, ?2) WHERE id = ?5");
  return s.Bind(1, session.upload_key)
      .Bind(2, session.upload_time)
      .Bind(3, session.fileId)
      .Bind(4, session.quickId)
      .Bind(5, session.id)
      .Run();
}

bool Metadata::SetSessionOffset(int64_t id, uint64_t offset, int64_t now) {
  Stmt s(db_, "UPDATE sessions SET offset = ?, touched = MAX(touched, ?) WHERE id = ?");
  return s.Bind(1, static_cast<int64_t>(offset)).Bind(2, now).Bind(3, id).Run();
}

std::vector<int64_t> Metadata::IdleSessions(int64_t now, int64_t max_idle) {
  std::vector<int64_t> ids;
  Stmt s(db_, "SELECT id FROM sessions WHERE touched < ?");
  s.Bind(1, now - max_idle);
  while (s.Row()) ids.push_back(s.Int(0));
  return ids;
}

std::vector<int64_t> Metadata::CompleteSessions() {
  std::vector<int64_t> ids;
  Stmt s(db_, "SELECT id FROM sessions WHERE offset >= size");
  while (s.Row()) ids.push_back(s.Int(0));
  return ids;
}

bool Metadata::DeleteSession(int64_t id) {
  Stmt s(db_, "DELETE FROM sessions WHERE id = ?");
  return s.Bind(1, id).Run();
}

bool Metadata::FinishSession(const Session& session, const std::string& sha1,
                             const std::string& quick_id) {
  if (!Exec("BEGIN IMMEDIATE;")) return false;
  bool ok;
  {
    Stmt b(db_, "INSERT OR IGNORE INTO blobs(sha1, size, quickid) VALUES(?, ?, ?)");
    ok = b.Bind(1, sha1).Bind(2, static_cast<int64_t>(session.size)).Bind(3, quick_id).Run();
  }
  if (ok) {
    FileEntry file;
    file.user = session.user;
    file.folder = session.folder;
    file.name = session.name;
    file.size = session.size;
    file.sha1 = sha1;
    file.pickCode = session.pickCode;
    file.upload_key = session.upload_key;
    // The session's pick code becomes the file's: drop it from the session first.
    ok = DeleteSession(session.id) && PutFile(file);
  }
  if (!ok) {
    Exec("ROLLBACK;");
    return false;
  }
  return Exec("COMMIT;");
}

std::vector<ListedFile> Metadata::ListFiles(int64_t user) {
  std::map<int64_t, std::string> paths = FolderPaths(db_, user);
  std::vector<ListedFile> out;
  Stmt s(db_, "SELECT folder, name, size, sha1, pickcode FROM files WHERE user_id = ?");
  s.Bind(1, user);
  while (s.Row()) {
    ListedFile f;
    const std::string& dir = paths[s.Int(0)];
    f.path = dir.empty() ? s.Text(1) : dir + "/" + s.Text(1);
    f.size = static_cast<uint64_t>(s.Int(2));
    f.sha1 = s.Text(3);
    f.pickCode = s.Text(4);
    out.push_back(std::move(f));
  }
  std::sort(out.begin(), out.end(),
            [](const ListedFile& a, const ListedFile& b) { return a.path < b.path; });
  return out;
}

std::vector<std::string> Metadata::ListFolders(int64_t user) {
  std::vector<std::string> out;
  for (const auto& p : FolderPaths(db_, user)) {
    if (!p.second.empty()) out.push_back(p.second);
  }
  std::sort(out.begin(), out.end());
  return out;
}

Lookup Metadata::ListFolder(int64_t user, int64_t folder, FolderListing* out) {
  *out = FolderListing();
  out->id = folder;
  // Walked up to the root; the bound only ends a cycle no version makes.
  for (int64_t id = folder; id != 0 && out->trail.size() < 100000;) {
    Stmt s(db_, "SELECT parent, name FROM folders WHERE id = ? AND user_id = ?");
    s.Bind(1, id).Bind(2, user);
    if (!s.Row()) {
      if (s.failed()) return Lookup::kFailed;
      return Lookup::kNotFound;
    }
    const int64_t parent = s.Int(0);
    out->trail.insert(out->trail.begin(), FolderEntry{id, parent == 0 ? "" : s.Text(1)});
    id = parent;
  }
  Stmt sub(db_, "SELECT id, name FROM folders WHERE user_id = ? AND parent = ? ORDER BY name");
  sub.Bind(1, user).Bind(2, folder);
  while (sub.Row()) out->folders.push_back(FolderEntry{sub.Int(0), sub.Text(1)});
  Stmt files(
      db_, (std::string(kFileColumns) + "WHERE user_id = ? AND folder = ? ORDER BY name").c_str());
  files.Bind(1, user).Bind(2, folder);
  while (files.Row()) {
    FileEntry f;
    ReadFile(files, &f);
    out->files.push_back(std::move(f));
  }
  return sub.failed() || files.failed() ? Lookup::kFailed : Lookup::kFound;
}

Lookup Metadata::FindFileById(int64_t user, int64_t id, FileEntry* file) {
  Stmt s(db_, (std::string(kFileColumns) + "WHERE user_id = ? AND id = ?").c_str());
  s.Bind(1, user).Bind(2, id);
  if (!s.Row()) return s.failed() ? Lookup::kFailed : Lookup::kNotFound;
  ReadFile(s, file);
  return Lookup::kFound;
}

Lookup Metadata::DeleteFile(int64_t user, int64_t id, std::vector<std::string>* freed) {
  if (!Exec("BEGIN IMMEDIATE;")) return Lookup::kFailed;
  FileEntry file;
  Lookup found = FindFileById(user, id, &file);
  bool last = false;
  if (found == Lookup::kFound) {
    Stmt d(db_, "DELETE FROM files WHERE id = ?");
    Stmt others(db_, "SELECT 1 FROM files WHERE sha1 = ? LIMIT 1");
    Stmt forget(db_, "DELETE FROM blobs WHERE sha1 = ?");
    if (!d.Bind(1, id).Run()) {
      found = Lookup::kFailed;
    } else if (others.Bind(1, file.sha1).Row()) {
      last = false;
    } else if (others.failed() || !forget.Bind(1, file.sha1).Run()) {
      found = Lookup::kFailed;
    } else {
      last = true;
    }
  }
  if (found != Lookup::kFound) {
    Exec("ROLLBACK;");
    return found;
  }
  if (!Exec("COMMIT;")) {
    Exec("ROLLBACK;");
    return Lookup::kFailed;
  }
  if (last) freed->push_back(file.sha1);
  return Lookup::kFound;
}

}  // namespace vexa::server

#ifndef VEXA_SERVER_METADATA_H_
#define VEXA_SERVER_METADATA_H_

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace vexa::server {

struct User {
  int64_t id = 0;
  std::string account;
  std::string digest;  // password digest: 40 lower-case hex digits
  uint64_t quota = 0;
  int64_t root = 0;  // the user's root folder
};

// An upload that has started and not finished: its bytes so far live in a
// partial file of the blob store.
struct Session {
  int64_t id = 0;
  int64_t user = 0;
  std::string pickCode;
  int64_t folder = 0;
  std::string name;
  uint64_t size = 0;
  std::string fileId;   // may be empty until the client sends it
  std::string quickId;  // may be empty
  uint64_t offset = 0;  // bytes held durably
  std::string upload_key;
  int64_t upload_time = 0;
};

struct FileEntry {
  int64_t id = 0;
  int64_t user = 0;
  int64_t folder = 0;
  std::string name;
  uint64_t size = 0;
  std::string sha1;
  std::string pickCode;
  // Key of the upload that finished it, so a late check of that upload can
  // still be authenticated.
  std::string upload_key;
};

// A file with its "/"-joined path below the user's root.
struct ListedFile {
  std::string path;
  uint64_t size = 0;
  std::string sha1;
  std::string pickCode;
};

// A folder by id and name.
struct FolderEntry {
  int64_t id = 0;
  std::string name;
};

// One folder of a user as the web page opens it.
struct FolderListing {
  int64_t id = 0;
  // From the user's root (named "") down to this folder.
  std::vector<FolderEntry> trail;
  std::vector<FolderEntry> folders;  // by name
  std::vector<FileEntry> files;      // by name
};

// What a lookup found. kFailed is a database error: the caller answers it as
// its own failure, never as "no such row".
enum class Lookup { kFound, kNotFound, kFailed };

// Users, logins, folders, files, content and upload sessions in one SQLite
// database (WAL, every commit synced). Not thread-safe: the caller serializes.
// Failing calls print the reason to stderr; the user lookups and the counters
// tell a failure apart, the other calls still return false or nothing.
class Metadata {
 public:
  Metadata() = default;
  ~Metadata();
  Metadata(const Metadata&) = delete;
  Metadata& operator=(const Metadata&) = delete;

  bool Open(const std::string& path, std::string* error);

  // Creates the account (with its root folder) or updates its password and
  // quota.
  bool UpsertUser(const std::string& account, const std::string& digest, uint64_t quota);
  Lookup FindUserByAccount(const std::string& account, User* user);
  Lookup FindUser(int64_t id, User* user);
  std::vector<User> ListUsers();

  // Bytes of the user's files, and bytes promised to the user's open
  // sessions other than `except_session`. False when the query failed: a
  // quota check must not read that as "nothing used".
  bool UsedBytes(int64_t user, uint64_t* out);
  bool ReservedBytes(int64_t user, int64_t except_session, uint64_t* out);

  // A login hands out a key that signs dispatch requests and a resource token
  // that authorizes space queries. A login unused for `max_idle` seconds
  // expires; a user keeps the 32 most recently used.
  bool AddLogin(int64_t user, const std::string& key, const std::string& resource, int64_t now);
  std::vector<std::string> LoginKeys(int64_t user, int64_t now, int64_t max_idle);
  // Marks the login of `key` used at `now`.
  bool UseLogin(const std::string& key, int64_t now);
  // Whether `resource` belongs to a live login of the user; marks it used.
  bool UseResource(int64_t user, const std::string& resource, int64_t now, int64_t max_idle);

  bool FolderOwnedBy(int64_t folder, int64_t user);
  bool FindFolder(int64_t user, int64_t parent, const std::string& name, int64_t* id);
  bool FindOrCreateFolder(int64_t user, int64_t parent, const std::string& name, int64_t* id);

  // Content held: size of blob `sha1`, or whether a blob with this sample
  // identity and size exists.
  bool FindBlob(const std::string& sha1, uint64_t* size);
  bool QuickIdKnown(const std::string& quick_id, uint64_t size);

  bool FindFile(int64_t folder, const std::string& name, FileEntry* file);
  bool FindFileByPickCode(int64_t user, const std::string& pick_code, FileEntry* file);
  // Creates the file entry; when its name is taken in the folder, under the
  // first free "name (N).ext".
  bool PutFile(const FileEntry& file);
  // Forgets content no file refers to; returns its names.
  std::vector<std::string> DropUnreferencedBlobs();

  bool PickCodeInUse(const std::string& pick_code);
  bool CountSessions(int64_t user, uint64_t* out);  // open ones; false when failed
  bool CreateSession(Session* session);             // sets session->id
  bool FindSession(int64_t user, const std::string& pick_code, Session* session);
  bool FindSessionById(int64_t id, Session* session);
  bool UpdateSession(const Session& session);  // key, time and identities
  bool SetSessionOffset(int64_t id, uint64_t offset, int64_t now);
  // Sessions without a dispatch or a range for more than `max_idle` seconds.
  std::vector<int64_t> IdleSessions(int64_t now, int64_t max_idle);
  // Sessions whose offset has reached their size but that never finished
  // (left by an older version that recorded the last offset on its own).
  std::vector<int64_t> CompleteSessions();
  bool DeleteSession(int64_t id);

  // In one transaction: records the blob, creates the file entry and ends
  // the session (the only way its final offset is ever recorded).
  bool FinishSession(const Session& session, const std::string& sha1, const std::string& quick_id);

  std::vector<ListedFile> ListFiles(int64_t user);
  std::vector<std::string> ListFolders(int64_t user);

  // The folder's trail, subfolders and files; kNotFound unless the folder is
  // the user's.
  Lookup ListFolder(int64_t user, int64_t folder, FolderListing* out);
  // The user's file `id`; kNotFound for another user's.
  Lookup FindFileById(int64_t user, int64_t id, FileEntry* file);
  // In one transaction: removes the user's file `id` and forgets its content
  // when no other file refers to it, adding that content's name to *freed
  // (for the caller to remove from the disk). kNotFound for another user's.
  Lookup DeleteFile(int64_t user, int64_t id, std::vector<std::string>* freed);

 private:
  bool Exec(const char* sql);

  sqlite3* db_ = nullptr;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_METADATA_H_

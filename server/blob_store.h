#ifndef VEXA_SERVER_BLOB_STORE_H_
#define VEXA_SERVER_BLOB_STORE_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "port/env.h"
#include "port/mutex.h"

namespace vexa::server {

// Finished content opened for reading. It stays readable to the end when the
// blob is removed meanwhile (a download under way when the file is deleted).
class BlobReader {
 public:
  explicit BlobReader(std::FILE* file) : file_(file) {}
  ~BlobReader();
  BlobReader(const BlobReader&) = delete;
  BlobReader& operator=(const BlobReader&) = delete;

  // Up to `n` bytes at `offset` into *out; false on a read error or at the
  // end of the content.
  bool ReadAt(uint64_t offset, size_t n, std::string* out) const;

 private:
  std::FILE* const file_;
  mutable port::Mutex mu_;  // a read is a seek and a read of the one stream
};

// File content on disk: the partial data of each open upload session under
// partial/, and finished content under blobs/, named by its SHA-1 (so equal
// content is stored once). Every write, and every new or removed name, is
// flushed to the disk before it returns. Files are reached through `env`.
class BlobStore {
 public:
  explicit BlobStore(std::string root, port::Env* env = port::Env::Default());

  // Creates the folders, durably. False with *error set on failure.
  bool Open(std::string* error);

  std::string PartialPath(int64_t session) const;
  std::string BlobPath(const std::string& sha1) const;

  // Writes `data` at `offset` of the session's partial file, drops anything
  // beyond it (left over from a write that was never acknowledged) and syncs
  // it, and its folder when the file is new. `meanwhile`, when given, runs
  // once the bytes are written and before waiting for the disk.
  bool WriteRange(int64_t session, uint64_t offset, std::string_view data, std::string* error,
                  const std::function<void()>& meanwhile = {});

  // Gives the finished partial file of `session` its second, durable name:
  // the blob `sha1`. The partial name stays until RemovePartial, so a failure
  // before the metadata records the file loses nothing. Content already held
  // under that name is kept (equal names mean equal content).
  bool Publish(int64_t session, const std::string& sha1, std::string* error);

  // Removes the partial file and syncs its folder.
  void RemovePartial(int64_t session);
  void RemoveBlob(const std::string& sha1);
  bool HasBlob(const std::string& sha1) const;
  // The blob `sha1` for reading; null when it cannot be opened.
  std::unique_ptr<BlobReader> OpenBlob(const std::string& sha1) const;

  // Sessions that have a partial file on disk.
  std::vector<int64_t> ListPartials() const;
  // Names of every blob on disk.
  std::vector<std::string> ListBlobs() const;

  // How often a folder was synced, for tests of the durability of new names.
  int TEST_folder_syncs() const { return folder_syncs_; }

 private:
  bool SyncFolder(const std::string& path);

  std::string root_;
  port::Env* const env_;
  std::atomic<int> folder_syncs_{0};
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_BLOB_STORE_H_

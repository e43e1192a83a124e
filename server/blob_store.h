#ifndef VEXA_SERVER_BLOB_STORE_H_
#define VEXA_SERVER_BLOB_STORE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

// File content on disk: the partial data of each open upload session under
// partial/, and finished content under blobs/, named by its SHA-1 (so equal
// content is stored once). Every write is flushed to the disk before it
// returns.
class BlobStore {
 public:
  explicit BlobStore(std::string root);

  // Creates the folders. False with *error set on failure.
  bool Open(std::string* error);

  std::string PartialPath(int64_t session) const;
  std::string BlobPath(const std::string& sha1) const;

  // Writes `data` at `offset` of the session's partial file, drops anything
  // beyond it (left over from a write that was never acknowledged) and syncs.
  bool WriteRange(int64_t session, uint64_t offset, std::string_view data, std::string* error);

  // Moves the finished partial file into place as the blob `sha1`.
  bool Commit(int64_t session, const std::string& sha1, std::string* error);

  void RemovePartial(int64_t session);
  bool HasBlob(const std::string& sha1) const;

  // Sessions that have a partial file on disk.
  std::vector<int64_t> ListPartials() const;

 private:
  std::string root_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_BLOB_STORE_H_

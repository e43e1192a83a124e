#ifndef VEXA_CODEC_SHA1_H_
#define VEXA_CODEC_SHA1_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vexa {

// SHA-1 (FIPS 180-1 / RFC 3174), fed in any number of pieces and finalised
// once. Feeding after finalisation, or past 2^64 bits, corrupts the digest,
// and a corrupted digest yields no result.
class Sha1 {
 public:
  Sha1();
  void Reset();
  void Update(const void* data, size_t length);
  // Writes the 20 digest bytes. False when the digest is corrupted.
  bool Final(uint8_t out[20]);
  // The 40-character upper-case hex form ("%08X" of each chaining word).
  bool FinalHex(std::string* hex);
  bool corrupted() const { return corrupted_; }

 private:
  void Compress(const uint8_t* blocks, size_t count);

  uint32_t h_[5];
  uint64_t bit_count_;
  uint8_t block_[64];
  size_t block_len_;
  bool computed_;
  bool corrupted_;
};

// Digest of `length` bytes at `data` as 40 upper-case hex digits. False, with
// `hex` untouched, when `data` is null or `length` is 0.
bool Sha1Hex(const void* data, size_t length, std::string* hex);

// Called once per block with the path and the bytes hashed so far; returning
// false stops the digest.
using HashProgressFn = std::function<bool(const std::string& path, uint64_t hashed)>;

// Error codes of the file digests (beside the platform's last-error values).
enum : uint32_t {
  kErrHashStopped = 1001,
  kErrHashRead = 1101,
  kErrHashCorrupted = 1102,
  kErrQuickAlloc = 1103,
  kErrQuickShortRead = 1104,
  kErrQuickDigest = 1105,
  kErrQuickSmallFile = 1106,
};

// `fileid`: the digest of the whole file at the UTF-8 `path`, read in 8 KiB
// blocks. `progress` may be empty. On failure returns false and sets *error.
bool Sha1FileHex(uint32_t* error, const HashProgressFn& progress, const std::string& path,
                 std::string* hex);

// `quickid`: for files of at most 25600 bytes the whole-file digest; otherwise
// the digest of five 5120-byte samples (at 0, 13%, 37%, 62% of the size and the
// last 5120 bytes) followed by the decimal size text.
bool QuickIdHex(const std::string& path, std::string* hex, uint32_t* error);

// Tests only: called with the path after `QuickIdHex` has taken the size and
// before it opens the file again, the window in which another program may
// delete or truncate it. An empty function removes the hook. Not thread-safe.
void TEST_SetQuickIdReopenHook(std::function<void(const std::string& path)> hook);

}  // namespace vexa

#endif  // VEXA_CODEC_SHA1_H_

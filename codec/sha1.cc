#include "codec/sha1.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "codec/sha1_compress.h"
#include "codec/text.h"
#include "port/file.h"
#include "port/last_error.h"

namespace vexa {
namespace {

constexpr size_t kProgressBlock = 8192;
constexpr uint64_t kSampleSize = 5120;
constexpr uint64_t kSmallFileLimit = 5 * kSampleSize;  // 25600

void HexOfWords(const uint32_t h[5], std::string* hex) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(40, '0');
  for (int i = 0; i < 5; ++i) {
    for (int n = 0; n < 8; ++n) out[i * 8 + n] = kDigits[(h[i] >> (28 - 4 * n)) & 0xF];
  }
  hex->swap(out);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::function<void(const std::string&)>& ReopenHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

}  // namespace

Sha1::Sha1() { Reset(); }

void Sha1::Reset() {
  h_[0] = 0x67452301u;
  h_[1] = 0xEFCDAB89u;
  h_[2] = 0x98BADCFEu;
  h_[3] = 0x10325476u;
  h_[4] = 0xC3D2E1F0u;
  bit_count_ = 0;
  block_len_ = 0;
  computed_ = false;
  corrupted_ = false;
}

void Sha1::Compress(const uint8_t* blocks, size_t count) {
  CurrentSha1Compress()(h_, blocks, count);
}

void Sha1::Update(const void* data, size_t length) {
  if (length == 0 || corrupted_) return;
  if (computed_ || data == nullptr) {
    corrupted_ = true;
    return;
  }
  // The message length is a 64-bit bit count; a longer message has no digest.
  const uint64_t room = (UINT64_MAX - bit_count_) / 8;
  if (static_cast<uint64_t>(length) > room) {
    corrupted_ = true;
    return;
  }
  bit_count_ += static_cast<uint64_t>(length) * 8;

  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (block_len_ > 0) {
    const size_t take = std::min(length, sizeof(block_) - block_len_);
    std::memcpy(block_ + block_len_, p, take);
    block_len_ += take;
    p += take;
    length -= take;
    if (block_len_ < sizeof(block_)) return;
    Compress(block_, 1);
    block_len_ = 0;
  }
  if (length >= 64) {
    const size_t whole = length / 64;
    Compress(p, whole);
    p += whole * 64;
    length -= whole * 64;
  }
  if (length > 0) {
    std::memcpy(block_, p, length);
    block_len_ = length;
  }
}

bool Sha1::Final(uint8_t out[20]) {
  if (corrupted_) return false;
  if (!computed_) {
    uint8_t tail[128] = {0x80};
    const size_t pad = (block_len_ < 56 ? 56 : 120) - block_len_;
    for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bit_count_ >> (56 - 8 * i));
    // Fed through the block buffer directly: the padding is not message.
    std::memcpy(block_ + block_len_, tail, sizeof(block_) - block_len_);
    Compress(block_, 1);
    if (pad + 8 > sizeof(block_) - block_len_) Compress(tail + (sizeof(block_) - block_len_), 1);
    std::memset(block_, 0, sizeof(block_));
    block_len_ = 0;
    computed_ = true;
  }
  for (int i = 0; i < 5; ++i) {
    out[4 * i] = static_cast<uint8_t>(h_[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(h_[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(h_[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(h_[i]);
  }
  return true;
}

bool Sha1::FinalHex(std::string* hex) {
  uint8_t digest[20];
  if (!Final(digest)) return false;
  HexOfWords(h_, hex);
  return true;
}

bool Sha1Hex(const void* data, size_t length, std::string* hex) {
  if (data == nullptr || length == 0) return false;
  Sha1 sha;
  sha.Update(data, length);
  return sha.FinalHex(hex);
}

bool Sha1FileHex(uint32_t* error, const HashProgressFn& progress, const std::string& path,
                 std::string* hex) {
  Sha1 sha;
  uint64_t total = 0;
  bool stopped = false;
  // Progress and the stop test come at every 8 KiB boundary of the content,
  // whatever pieces the file arrives in.
  const port::ScanResult result =
      port::ScanFile(path, port::ScanMode::kAuto, [&](const uint8_t* data, size_t length) {
        if (!progress) {
          sha.Update(data, length);
          total += length;
          return true;
        }
        while (length > 0) {
          const size_t n = static_cast<size_t>(
              std::min<uint64_t>(length, kProgressBlock - total % kProgressBlock));
          sha.Update(data, n);
          data += n;
          length -= n;
          total += n;
          if (total % kProgressBlock == 0 && !progress(path, total)) {
            stopped = true;
            return false;
          }
        }
        return true;
      });
  switch (result) {
    case port::ScanResult::kOpenFailed:
      *error = port::LastError();
      return false;
    case port::ScanResult::kReadFailed:
      *error = kErrHashRead;
      return false;
    case port::ScanResult::kStopped:
    case port::ScanResult::kDone:
      break;
  }
  // The last, partial block.
  if (!stopped && progress && total % kProgressBlock != 0 && !progress(path, total)) stopped = true;
  if (stopped) {
    *error = kErrHashStopped;
    return false;
  }
  if (!sha.FinalHex(hex)) {
    *error = kErrHashCorrupted;
    return false;
  }
  return true;
}

bool QuickIdHex(const std::string& path, std::string* hex, uint32_t* error) {
  uint64_t size = 0;
  if (!port::FileSize64(path, &size)) {
    *error = port::LastError();
    return false;
  }
  if (ReopenHook()) ReopenHook()(path);
  if (size <= kSmallFileLimit) {
    uint32_t ignored = 0;
    if (!Sha1FileHex(&ignored, HashProgressFn(), path, hex)) {
      *error = kErrQuickSmallFile;
      return false;
    }
    return true;
  }
  FilePtr file(port::OpenFileShared(path, "rb"));
  if (!file) {
    *error = port::LastError();
    return false;
  }
  const std::string size_text = FormatU64(size);
  const size_t total = kSmallFileLimit + size_text.size();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[total]());
  if (!buffer) {
    *error = kErrQuickAlloc;
    return false;
  }
  const double dsize = static_cast<double>(size);
  const uint64_t offsets[5] = {
      0,
      static_cast<uint64_t>(dsize * 0.13),
      static_cast<uint64_t>(dsize * 0.37),
      static_cast<uint64_t>(dsize * 0.62),
      size - kSampleSize,
  };
  for (int i = 0; i < 5; ++i) {
    uint8_t* dst = buffer.get() + i * kSampleSize;
    // A failed seek leaves the position elsewhere; the short read it causes
    // (or the seek itself) is a failed sample.
    if (!port::Seek64(file.get(), offsets[i]) ||
        std::fread(dst, 1, kSampleSize, file.get()) != kSampleSize) {
      *error = kErrQuickShortRead;
      return false;
    }
  }
  file.reset();
  std::memcpy(buffer.get() + kSmallFileLimit, size_text.data(), size_text.size());
  if (!Sha1Hex(buffer.get(), total, hex)) {
    *error = kErrQuickDigest;
    return false;
  }
  return true;
}

void TEST_SetQuickIdReopenHook(std::function<void(const std::string& path)> hook) {
  ReopenHook() = std::move(hook);
}

}  // namespace vexa

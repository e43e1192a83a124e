#ifndef VEXA_PROTOCOL_CHUNK_POST_H_
#define VEXA_PROTOCOL_CHUNK_POST_H_

#include <cstdint>
#include <string>

#include "net/http_client.h"
#include "net/parsed_url.h"
#include "protocol/upload_job.h"

namespace vexa {

// The multipart boundary the transfer worker gives PostChunk.
inline constexpr char kChunkBoundary[] = "-----------------------vexaupload";
// A range is read into one buffer of at most this many bytes.
inline constexpr int64_t kMaxRangeBytes = 1 << 20;
// Range data goes out in pieces of at most this many bytes; the job's status
// is tested and the counters advanced once per piece.
inline constexpr int64_t kSendPiece = 8096;

// The form fields of one range, in the order they are sent.
struct ChunkFields {
  std::string fileId;
  std::string quickId;
  std::string ctrange;   // "start-end", end exclusive
  std::string cthash;    // SHA-1 of the range's bytes
  std::string fileName;  // the task's pick code
};

// The multipart text before the range's data (four fields, then the head of
// the file part) and after it (the closing boundary, no line end).
std::string ChunkMultipartHead(const std::string& boundary, const ChunkFields& fields);
std::string ChunkMultipartTail(const std::string& boundary);
// The request head for a body of `content_length` bytes.
std::string ChunkRequestHead(const ParsedUrl& url, const std::string& user_agent,
                             const std::string& boundary, uint64_t content_length);

// What one PostChunk call added to the counters, so that its caller can take
// a failed attempt back out.
struct ChunkCounts {
  int64_t taskBytes = 0;    // added to the task's uploadedSize and bytesSent
  int64_t folderBytes = 0;  // added to the folder's uploadedSize (its total caps it)
};

// Sends the job's next range (transfer offset, chunkLength shortened to the
// file's end and to kMaxRangeBytes and stored back) to `url`, the big-upload
// URL, as one multipart POST on a connection made like `client`'s (time-outs,
// proxy) or kept in its cache (see RangeConnection). True when a 200 answer
// arrived; `*answer` then holds its body.
//
// `*fatal` tells whether the same range is worth trying again: it is cleared
// only when the connection could not be made or broke before an answer began
// (refused, reset, closed). It stays set when the range cannot be read or
// hashed, when the job left kUploading (checked once per piece and while any
// wait lasts, so a stop ends the call promptly), when the answer timed out, was
// malformed or was not a 200.
//
// Every piece sent adds to the task's counters and, for a folder member, to
// the folder's, whose uploaded bytes never pass its total; `*counts` (may be
// null) receives what was added, also on failure.
bool PostChunk(const HttpClient& client, const std::string& boundary, UploadJob& job,
               const std::string& url, std::string* answer, bool* fatal, ChunkCounts* counts);
// The same with the process-wide client.
bool PostChunk(const std::string& boundary, UploadJob& job, const std::string& url,
               std::string* answer, bool* fatal, ChunkCounts* counts = nullptr);

}  // namespace vexa

#endif  // VEXA_PROTOCOL_CHUNK_POST_H_

#include "protocol/chunk_post.h"

#include <algorithm>
#include <memory>
#include <new>

#include "codec/sha1.h"
#include "codec/text.h"
#include "port/file.h"
#include "protocol/range_connection.h"

namespace vexa {
namespace {

std::string Part(const std::string& boundary, const char* name, const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

}  // namespace

std::string ChunkMultipartHead(const std::string& boundary, const ChunkFields& fields) {
  return Part(boundary, "fileid", fields.fileId) + Part(boundary, "quickid", fields.quickId) +
         Part(boundary, "ctrange", fields.ctrange) + Part(boundary, "cthash", fields.cthash) +
         "--" + boundary + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"" +
         fields.fileName + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string ChunkMultipartTail(const std::string& boundary) { return "\r\n--" + boundary + "--"; }

std::string ChunkRequestHead(const ParsedUrl& url, const std::string& user_agent,
                             const std::string& boundary, uint64_t content_length) {
  return "POST " + url.path + " HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: " + url.host +
         "\r\nAccept: */*\r\nContent-Length: " + FormatU64(content_length) +
         "\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nUser-Agent: " + user_agent + "\r\n\r\n";
}

bool PostChunk(const HttpClient& client, const std::string& boundary, UploadJob& job,
               const std::string& url, std::string* answer, bool* fatal, ChunkCounts* counts) {
  *fatal = true;
  answer->clear();
  if (counts != nullptr) *counts = ChunkCounts();
  TransferContext* transfer = job.Transfer();
  if (transfer == nullptr || transfer->file == nullptr) return false;
  const int64_t offset = transfer->offset;
  const int64_t size = job.Fields().fileSize;
  if (offset < 0 || offset >= size) return false;
  transfer->chunkLength = std::min({transfer->chunkLength, size - offset, kMaxRangeBytes});
  PreparedRange range;
  if (!PrepareRange(client, boundary, job, url, offset, transfer->chunkLength, &range))
    return false;
  RangeConnection connection(client, job, url);
  if (!connection.Send(range, fatal)) {
    if (counts != nullptr) *counts = connection.Drop();
    return false;
  }
  ChunkCounts added;
  const bool ok = connection.ReadAnswer(answer, fatal, &added);
  if (counts != nullptr) *counts = added;
  return ok;
}

bool PostChunk(const std::string& boundary, UploadJob& job, const std::string& url,
               std::string* answer, bool* fatal, ChunkCounts* counts) {
  return PostChunk(ProcessHttpClient(), boundary, job, url, answer, fatal, counts);
}

}  // namespace vexa

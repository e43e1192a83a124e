#include "protocol/chunk_post.h"

#include <algorithm>
#include <memory>
#include <new>

#include "codec/sha1.h"
#include "codec/text.h"
#include "net/connect_to_server.h"
#include "net/network_failure.h"
#include "net/http_response.h"
#include "port/file.h"

namespace vexa {
namespace {

std::string Part(const std::string& boundary, const char* name, const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n";
}

// Adds `n` sent bytes to a folder's counters; the uploaded count stops at the
// total, since a range sent twice must not make the folder look more than done.
int64_t AddToFolder(FolderProgress& folder, int64_t n) {
  int64_t added = 0;
  folder.UpdateBytes([n, &added](FolderBytes* b) {
    const int64_t before = b->uploadedSize;
    b->uploadedSize += n;
    b->sentSinceStart += n;
    if (b->uploadedSize > b->totalSize) b->uploadedSize = std::max(before, b->totalSize);
    added = b->uploadedSize - before;
  });
  return added;
}

}  // namespace

std::string ChunkMultipartHead(const std::string& boundary, const ChunkFields& fields) {
  return Part(boundary, "fileid", fields.fileId) + Part(boundary, "quickid", fields.quickId) +
         Part(boundary, "ctrange", fields.ctrange) + Part(boundary, "cthash", fields.cthash) + "--" +
         boundary + "\r\nContent-Disposition: form-data; name=\"uploadfile\"; filename=\"" + fields.fileName +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string ChunkMultipartTail(const std::string& boundary) { return "\r\n--" + boundary + "--"; }

std::string ChunkRequestHead(const ParsedUrl& url, const std::string& user_agent, const std::string& boundary,
                             uint64_t content_length) {
  return "POST " + url.path + " HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: " + url.host +
         "\r\nAccept: */*\r\nContent-Length: " + FormatU64(content_length) +
         "\r\nContent-Type: multipart/form-data; boundary=" + boundary + "\r\nUser-Agent: " + user_agent +
         "\r\n\r\n";
}

bool PostChunk(const HttpClient& client, const std::string& boundary, UploadJob& job, const std::string& url,
               std::string* answer, bool* fatal, ChunkCounts* counts) {
  *fatal = true;
  answer->clear();
  ChunkCounts added;
  if (counts != nullptr) *counts = added;
  TransferContext* transfer = job.Transfer();
  if (transfer == nullptr || transfer->file == nullptr) return false;
  std::unique_ptr<CProxySocket> socket = client.NewSocket();
  if (!socket->Initialize()) return false;

  const JobFields f = job.Fields();
  const int64_t offset = transfer->offset;
  if (offset < 0 || offset >= f.fileSize) return false;
  transfer->chunkLength = std::min({transfer->chunkLength, f.fileSize - offset, kMaxRangeBytes});
  const int64_t length = transfer->chunkLength;
  if (length <= 0) return false;

  // The range is read once and hashed once; a short read means the file
  // changed under the upload, and sending it would corrupt the stored copy.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(length)]);
  if (!buffer || !port::Seek64(transfer->file, static_cast<uint64_t>(offset)) ||
      std::fread(buffer.get(), 1, static_cast<size_t>(length), transfer->file) !=
          static_cast<size_t>(length)) {
    return false;
  }
  ChunkFields fields;
  fields.fileId = f.fileId;
  fields.quickId = f.quickId;
  fields.ctrange =
      FormatU64(static_cast<uint64_t>(offset)) + "-" + FormatU64(static_cast<uint64_t>(offset + length));
  if (!Sha1Hex(buffer.get(), static_cast<size_t>(length), &fields.cthash)) return false;
  fields.fileName = f.pickCode;

  const ParsedUrl u = ParseUrl(url);
  const std::string tail = ChunkMultipartTail(boundary);
  const std::string multipart = ChunkMultipartHead(boundary, fields);
  const std::string head = ChunkRequestHead(u, client.userAgent, boundary,
                                            multipart.size() + static_cast<uint64_t>(length) + tail.size()) +
                           multipart;

  // A stop or cancel also ends a wait inside connect, send or receive.
  auto stopped = [&job] { return job.State() != JobState::kUploading; };
  socket->SetAbortCheck(stopped);
  // Failures of the connection are worth a retry, unless a stop caused them.
  auto connection_failed = [&] {
    *fatal = stopped();
    return false;
  };
  if (!ConnectToServer(client, *socket, u.host, u.port, u.tls)) {
    // A refused certificate stays refused: failing the task says why.
    if (LastConnectionRefusedForSecurity()) return false;
    return connection_failed();
  }
  if (socket->Send(head) != static_cast<int32_t>(head.size())) return connection_failed();

  std::shared_ptr<FolderProgress> folder = job.FindFolder();
  for (int64_t sent = 0; sent < length;) {
    if (stopped()) return false;
    const int64_t piece = std::min(kSendPiece, length - sent);
    const int32_t n = socket->Send(buffer.get() + sent, static_cast<size_t>(piece));
    if (n <= 0) return connection_failed();
    sent += n;
    job.AddSentBytes(n);
    added.taskBytes += n;
    if (folder) added.folderBytes += AddToFolder(*folder, n);
    if (counts != nullptr) *counts = added;
  }
  // The tail is shorter than a segment: without the flush the socket may hold
  // it back until the peer acknowledges the data.
  if (socket->Send(tail) != static_cast<int32_t>(tail.size()) || !socket->Flush()) return connection_failed();

  if (!ReadResponse(*socket, answer)) {
    // A connection that ends before any answer byte is indistinguishable from
    // one that broke while the data was on its way.
    const SocketStatus st = socket->last_status();
    if (answer->empty() && (st == SocketStatus::Success || st == SocketStatus::ConnectionReset)) {
      return connection_failed();
    }
    return false;
  }
  return ExtractBody(answer);
}

bool PostChunk(const std::string& boundary, UploadJob& job, const std::string& url, std::string* answer,
               bool* fatal, ChunkCounts* counts) {
  return PostChunk(ProcessHttpClient(), boundary, job, url, answer, fatal, counts);
}

}  // namespace vexa

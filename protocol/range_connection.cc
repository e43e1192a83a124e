#include "protocol/range_connection.h"

#include <algorithm>
#include <new>

#include "codec/sha1.h"
#include "codec/text.h"
#include "net/http_response.h"
#include "net/network_failure.h"
#include "net/send_rate_limit.h"
#include "port/file.h"

namespace vexa {
namespace {

// Adds `n` sent bytes to a folder's counters; the uploaded count stops at the
// total, since a range sent twice must not make the folder look more than done.
int64_t AddRangeBytesToFolder(FolderProgress& folder, int64_t n) {
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

void AddCounts(ChunkCounts* to, const ChunkCounts& c) {
  to->taskBytes += c.taskBytes;
  to->folderBytes += c.folderBytes;
}

}  // namespace

bool PrepareRange(const HttpClient& client, const std::string& boundary, const UploadJob& job,
                  const std::string& url, int64_t offset, int64_t length, PreparedRange* range) {
  TransferContext* transfer = job.Transfer();
  if (transfer == nullptr || transfer->file == nullptr || offset < 0 || length <= 0) return false;
  range->offset = offset;
  range->length = length;
  // The range is read once and hashed once; a short read means the file
  // changed under the upload, and sending it would corrupt the stored copy.
  range->data.reset(new (std::nothrow) char[static_cast<size_t>(length)]);
  if (!range->data || !port::Seek64(transfer->file, static_cast<uint64_t>(offset)) ||
      std::fread(range->data.get(), 1, static_cast<size_t>(length), transfer->file) !=
          static_cast<size_t>(length)) {
    return false;
  }
  const JobFields f = job.Fields();
  ChunkFields fields;
  fields.fileId = f.fileId;
  fields.quickId = f.quickId;
  fields.ctrange = FormatU64(static_cast<uint64_t>(offset)) + "-" +
                   FormatU64(static_cast<uint64_t>(offset + length));
  if (!Sha1Hex(range->data.get(), static_cast<size_t>(length), &fields.cthash)) return false;
  fields.fileName = f.pickCode;
  range->tail = ChunkMultipartTail(boundary);
  const std::string multipart = ChunkMultipartHead(boundary, fields);
  range->head =
      ChunkRequestHead(ParseUrl(url), client.userAgent, boundary,
                       multipart.size() + static_cast<uint64_t>(length) + range->tail.size()) +
      multipart;
  return true;
}

void TakeBackCounts(UploadJob& job, const ChunkCounts& counts) {
  if (counts.taskBytes != 0) job.AddSentBytes(-counts.taskBytes);
  if (std::shared_ptr<FolderProgress> folder = job.FindFolder()) {
    folder->UpdateBytes([&counts](FolderBytes* b) {
      b->uploadedSize = std::max<int64_t>(b->uploadedSize - counts.folderBytes, 0);
      b->sentSinceStart = std::max<int64_t>(b->sentSinceStart - counts.taskBytes, 0);
    });
  }
}

RangeConnection::RangeConnection(const HttpClient& client, UploadJob& job, const std::string& url)
    : job_(job), url_(ParseUrl(url)), connection_(client, options_) {
  // A stop or cancel also ends a wait inside connect, send or receive.
  options_.abortCheck = [this] { return Stopped(); };
}

RangeConnection::~RangeConnection() { connection_.Finish(open_ && kept_ && flight_.empty()); }

bool RangeConnection::Stopped() const { return job_.State() != JobState::kUploading; }

bool RangeConnection::Open(bool fresh) {
  kept_ = false;
  answered_ = false;
  open_ = connection_.Open(url_.host, url_.port, fresh, url_.tls);
  return open_;
}

ChunkCounts RangeConnection::Drop() {
  ChunkCounts total = dropped_;
  dropped_ = ChunkCounts();
  for (const InFlight& e : flight_) AddCounts(&total, e.counts);
  flight_.clear();
  connection_.Finish(false);
  open_ = false;
  kept_ = false;
  send_failed_ = false;
  return total;
}

ChunkCounts RangeConnection::TakeDropped() {
  const ChunkCounts lost = dropped_;
  dropped_ = ChunkCounts();
  return lost;
}

bool RangeConnection::SendBytes(InFlight& entry) {
  CProxySocket& socket = connection_.socket();
  const PreparedRange& r = *entry.range;
  if (socket.Send(r.head) != static_cast<int32_t>(r.head.size())) return false;
  std::shared_ptr<FolderProgress> folder = job_.FindFolder();
  for (int64_t sent = 0; sent < r.length;) {
    if (Stopped()) return false;
    const int64_t piece = std::min(kSendPiece, r.length - sent);
    if (!ProcessSendRateLimiter().Acquire(static_cast<size_t>(piece),
                                          [this] { return Stopped(); })) {
      return false;
    }
    const int32_t n = socket.Send(r.data.get() + sent, static_cast<size_t>(piece));
    if (n <= 0) return false;
    sent += n;
    job_.AddSentBytes(n);
    entry.counts.taskBytes += n;
    if (folder) entry.counts.folderBytes += AddRangeBytesToFolder(*folder, n);
  }
  // The tail is shorter than a segment: without the flush the socket may hold
  // it back until the peer acknowledges the data.
  return socket.Send(r.tail) == static_cast<int32_t>(r.tail.size()) && socket.Flush();
}

bool RangeConnection::Send(const PreparedRange& range, bool* fatal) {
  *fatal = true;
  if (Stopped() || send_failed_) return false;
  for (bool fresh = false;; fresh = true) {
    // Only a connection with nothing in flight may be replaced: what was in
    // flight on a broken one is lost with it.
    if (!open_ && !Open(fresh)) {
      // A refused certificate stays refused: failing the task says why.
      *fatal = Stopped() || LastConnectionRefusedForSecurity();
      return false;
    }
    InFlight entry{&range, ChunkCounts(), (connection_.reused() || answered_) && flight_.empty()};
    if (SendBytes(entry)) {
      flight_.push_back(entry);
      return true;
    }
    const bool stale =
        entry.firstOnReused && !Stopped() && LooksClosedByPeer(connection_.socket().last_status());
    if (stale && !fresh) {
      // Nothing of this range counts: it goes again, whole, on a new connection.
      TakeBackCounts(job_, entry.counts);
      connection_.Finish(false);
      open_ = false;
      continue;
    }
    AddCounts(&dropped_, entry.counts);
    // Failures of the connection are worth a retry, unless a stop caused them.
    *fatal = Stopped();
    if (!flight_.empty() && !*fatal) {
      // The answers ahead may have come before the peer closed: they stay
      // readable, but the connection carries nothing more.
      send_failed_ = true;
      return false;
    }
    ChunkCounts lost = Drop();
    dropped_ = lost;
    return false;
  }
}

bool RangeConnection::ReadAnswer(std::string* answer, bool* fatal, ChunkCounts* counts) {
  *fatal = true;
  answer->clear();
  *counts = ChunkCounts();
  if (flight_.empty() || !open_) return false;
  InFlight entry = flight_.front();
  flight_.pop_front();
  *counts = entry.counts;
  bool reusable = false;
  if (ReadOneResponse(connection_.socket(), answer, &reusable)) {
    kept_ = reusable && !send_failed_;
    answered_ = true;
    if (!kept_) {
      // Ranges sent behind this one have no connection left to be answered on.
      ChunkCounts behind = Drop();
      dropped_ = behind;
    }
    return ExtractBody(answer);
  }
  // A connection that ends before any answer byte is indistinguishable from
  // one that broke while the data was on its way.
  const SocketStatus st = connection_.socket().last_status();
  const bool closed =
      answer->empty() && (st == SocketStatus::Success || st == SocketStatus::ConnectionReset);
  // Not when a range sent behind this one failed to go out: then the
  // connection broke with this range in flight, which the sender must hear of
  // (it sends one range at a time from then on), not a kept connection the
  // peer had closed before it was used.
  if (closed && entry.firstOnReused && flight_.empty() && !send_failed_ && !Stopped()) {
    // A kept connection the peer had closed: the same range once more on a new one.
    TakeBackCounts(job_, entry.counts);
    dropped_ = Drop();  // kept for TakeDropped, as after every other drop
    bool send_fatal = true;
    if (!Open(true) || !Send(*entry.range, &send_fatal)) {
      *fatal = open_ ? send_fatal : Stopped() || LastConnectionRefusedForSecurity();
      *counts = Drop();
      return false;
    }
    return ReadAnswer(answer, fatal, counts);
  }
  if (closed) *fatal = Stopped();
  ChunkCounts behind = Drop();
  dropped_ = behind;
  return false;
}

}  // namespace vexa

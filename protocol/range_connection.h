#ifndef VEXA_PROTOCOL_RANGE_CONNECTION_H_
#define VEXA_PROTOCOL_RANGE_CONNECTION_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "net/http_client.h"
#include "net/parsed_url.h"
#include "net/pooled_connection.h"
#include "protocol/chunk_post.h"
#include "protocol/upload_job.h"

namespace vexa {

// One range read from the job's file and hashed, with the request around it.
// A request without a body (the offset check) is one with only a head.
struct PreparedRange {
  int64_t offset = 0;
  int64_t length = 0;
  std::unique_ptr<char[]> data;
  std::string head;  // the request head and the multipart text before the data
  std::string tail;
};

// Reads `length` bytes at `offset` of the job's file (once; a short read means
// the file changed) and builds the multipart POST of them to `url`. False when
// the job has no open file, the range is empty or the read or hash fails.
bool PrepareRange(const HttpClient& client, const std::string& boundary, const UploadJob& job,
                  const std::string& url, int64_t offset, int64_t length, PreparedRange* range);

// Takes what sending a range added back out of the job's and its folder's
// counters.
void TakeBackCounts(UploadJob& job, const ChunkCounts& counts);

// The connection the ranges of one upload go over. Ranges are answered in the
// order they were sent; a second may be sent before the first is answered.
// A connection the peer keeps open stays for the next range and, when this
// object ends with nothing in flight, goes back to the client's cache.
//
// Each piece sent adds to the job's and its folder's counters as PostChunk
// does; what a range added is handed back with its answer, or by Drop for
// those whose answers will not be read, so the caller can take it back out.
class RangeConnection {
 public:
  RangeConnection(const HttpClient& client, UploadJob& job, const std::string& url);
  ~RangeConnection();
  RangeConnection(const RangeConnection&) = delete;
  RangeConnection& operator=(const RangeConnection&) = delete;

  // Sends `range` (kept alive by the caller until its answer is read) behind
  // those in flight, opening a connection when there is none. `*fatal` as for
  // PostChunk. On failure the range's counts wait for TakeDropped or Drop.
  // A failure behind ranges in flight leaves their answers to be read (a peer
  // that closed after answering them is not a broken connection); otherwise
  // the connection is dropped with every range in flight.
  bool Send(const PreparedRange& range, bool* fatal);
  // Reads the answer to the oldest range in flight. True on a 200, `*answer`
  // then holds its body. `*counts` receives what that range added. A
  // connection found closed before any answer byte, when it was a kept one
  // and this range went first on it, is replaced and the range sent again once.
  bool ReadAnswer(std::string* answer, bool* fatal, ChunkCounts* counts);
  // Closes the connection; what the ranges still in flight (and one whose
  // send failed) added.
  ChunkCounts Drop();
  // What ranges that are no longer in flight (a failed send, ranges behind an
  // answer that closed the connection) added, without closing anything.
  ChunkCounts TakeDropped();

  size_t in_flight() const { return flight_.size(); }
  // Whether the last answer left the connection open for the next range.
  bool kept() const { return open_ && kept_; }
  // Whether the connection came from the client's cache: the peer kept it
  // open after an earlier answer.
  bool reused() const { return open_ && connection_.reused(); }

 private:
  struct InFlight {
    const PreparedRange* range;
    ChunkCounts counts;
    bool firstOnReused;
  };
  bool Stopped() const;
  bool Open(bool fresh);
  // Sends one range's bytes, adding to the counters as they go.
  bool SendBytes(InFlight& entry);

  UploadJob& job_;
  const ParsedUrl url_;
  RequestOptions options_;
  PooledConnection connection_;
  bool open_ = false;
  bool kept_ = false;
  bool answered_ = false;     // the connection has answered a range already
  bool send_failed_ = false;  // a send behind ranges in flight failed: nothing more goes
  std::deque<InFlight> flight_;
  ChunkCounts dropped_;  // counts of ranges lost with a failed send
};

}  // namespace vexa

#endif  // VEXA_PROTOCOL_RANGE_CONNECTION_H_

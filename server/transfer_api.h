#ifndef VEXA_SERVER_TRANSFER_API_H_
#define VEXA_SERVER_TRANSFER_API_H_

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "server/body_digest.h"
#include "server/form.h"
#include "server/metadata.h"
#include "server/range_phases.h"
#include "server/service_context.h"
#include "server/session_registry.h"

namespace vexa::server {

// The upload server's side of a session: the offset check and the ranges,
// the last of which finishes the file.
class TransferApi {
 public:
  TransferApi(ServiceContext* ctx, SessionRegistry* sessions);
  ~TransferApi();
  TransferApi(const TransferApi&) = delete;
  TransferApi& operator=(const TransferApi&) = delete;

  void Install(httplib::Server* server);

 private:
  void HandleCheck(const httplib::Request& req, httplib::Response& res);
  // A range: the target is checked from the URL, the body read whole, its
  // fields parsed, and the range committed to the session.
  void HandleRange(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader);

  // What a range's URL names, and what the service knew of it before its
  // body arrived.
  struct RangeTarget {
    int64_t user_id = 0;
    uint64_t size = 0;
    uint64_t ets = 0;
    std::string pickCode;
    std::string sig;
    std::string boundary;   // of the multipart body; empty when it has none
    int refusal = 0;        // the code to refuse with once the body is read
    bool finished = false;  // the session already ended in a file
    Session session;
  };
  // The fields of a range's body; `data` is a view into the body.
  struct RangeFields {
    std::string_view data;
    uint64_t start = 0;
    uint64_t end = 0;
    std::string cthash;
    std::string fileId;
    std::string quickId;
  };
  RangeTarget CheckRangeTarget(const httplib::Request& req) EXCLUDES(ctx_->mu);
  // Reads the whole body into *body, feeding `digest`. False when a test's
  // fault dropped the connection.
  bool ReadRangeBody(const httplib::Request& req, const httplib::ContentReader& reader,
                     std::string* body, BodyDigest* digest);
  // 0, or the code to refuse the body with.
  static int ParseRangeFields(const RangeTarget& target, const std::string& body,
                              std::vector<MultipartPart>* parts, RangeFields* fields);
  // Writes the range into the session under its lock and answers.
  void CommitRange(RangeTarget* target, const RangeFields& fields, RangePhases* phases,
                   httplib::Response& res) EXCLUDES(ctx_->mu);

  // Whether a check or range URL may act on `session`: 0 when its signature,
  // key time and file size fit the session's upload key, else the code to
  // refuse with.
  int CheckUploadKey(const Session& session, const std::string& sig, uint64_t ets, uint64_t size);

  // A request of a transfer whose session has ended in a file: true when the
  // file came from an upload signed with `sig` and has `size` bytes.
  bool FinishedTransfer(int64_t user, const std::string& pick_code, const std::string& sig,
                        uint64_t size) REQUIRES(ctx_->mu);

  ServiceContext* const ctx_;
  SessionRegistry* const sessions_;
  // Where each range's phase times go, one line per range, when the
  // environment names a file in VEXA_RANGE_TIMES (for the range benchmark).
  std::FILE* phase_log_ = nullptr;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_TRANSFER_API_H_

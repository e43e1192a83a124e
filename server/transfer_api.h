#ifndef VEXA_SERVER_TRANSFER_API_H_
#define VEXA_SERVER_TRANSFER_API_H_

#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "server/metadata.h"
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
  void HandleRange(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader);

  // Whether a check or range URL may act on `session`: 0 when its signature,
  // key time and file size fit the session's upload key, else the code to
  // refuse with.
  int CheckUploadKey(const Session& session, const std::string& sig, uint64_t ets, uint64_t size);

  // A request of a transfer whose session has ended in a file: true when the
  // file came from an upload signed with `sig` and has `size` bytes.
  bool FinishedTransfer(int64_t user, const std::string& pickcode, const std::string& sig,
                        uint64_t size) REQUIRES(ctx_->mu);

  ServiceContext* const ctx_;
  SessionRegistry* const sessions_;
  // Where each range's phase times go, one line per range, when the
  // environment names a file in VEXA_RANGE_TIMES (for the range benchmark).
  std::FILE* phase_log_ = nullptr;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_TRANSFER_API_H_

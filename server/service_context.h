#ifndef VEXA_SERVER_SERVICE_CONTEXT_H_
#define VEXA_SERVER_SERVICE_CONTEXT_H_

#include <httplib.h>

#include <cstdint>
#include <string>

#include "port/mutex.h"
#include "server/blob_store.h"
#include "server/faults.h"
#include "server/login_guard.h"
#include "server/login_tickets.h"
#include "server/metadata.h"
#include "server/options.h"

namespace vexa::server {

// Fixed texts of the signatures shared with the clients.
inline constexpr char kSignSuffix[] = "503418";
inline constexpr char kAppId[] = "0";
inline constexpr char kPickAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";

// Largest range a client may send, and the bound of every request body.
inline constexpr uint64_t kMaxRangeBytes = 1 << 20;
inline constexpr size_t kMaxBodyBytes = kMaxRangeBytes + 64 * 1024;

int64_t NowSeconds();
// Wall-clock time in milliseconds.
int64_t NowMillis();

// What every part of the service shares: the configuration, the stores and
// the lock that serializes every read-check-write on the metadata.
//
// Lock order of the service, outermost first; a thread holding one takes
// only locks further down:
//
//   1. a session's lock (SessionRegistry::State::mu): serializes its ranges,
//      finish and drop; never taken while `mu` is held (a try-lock is
//      allowed), so a range may wait for its session while other requests
//      go on
//   2. `mu`: every read-check-write on the metadata
//   3. SessionRegistry's map lock, the login guard's, the login tickets', the
//      fault plan's, the web site's and the worker pool's: leaves, nothing is
//      taken under them
struct ServiceContext {
  ServiceContext(const Options& options, Metadata* meta, BlobStore* blobs, FaultPlan* faults)
      : options(options), meta(meta), blobs(blobs), faults(faults) {}

  // Applies the fault rules of `op`: a delay is waited out here. Returns 0
  // when the request should be served, -1 when an HTTP failure was written,
  // or a status code to refuse with.
  int InjectFaults(FaultOp op, httplib::Response& res);
  // Waits out a delay rule of `op` (a test's hold point).
  void Hold(FaultOp op);

  const Options options;
  Metadata* const meta PT_GUARDED_BY(mu);
  BlobStore* const blobs;
  FaultPlan* const faults;
  std::string base_url;        // set before serving, read-only afterwards
  LoginGuard login_guard;      // for the API login and the web form alike
  LoginTickets login_tickets;  // handed out by the web site, taken by the API login
  port::Mutex mu;
};

// The signature of a dispatch request under one login key.
std::string DispatchSig(const std::string& userkey, const std::string& userid,
                        const std::string& file_id, const std::string& quick_id,
                        const std::string& pick_code, const std::string& target);
// The signature of the check and big-upload URLs of one upload key.
std::string TransferSig(const std::string& upload_key);

}  // namespace vexa::server

#endif  // VEXA_SERVER_SERVICE_CONTEXT_H_

#ifndef VEXA_SERVER_FAULTS_H_
#define VEXA_SERVER_FAULTS_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vexa::server {

// Operations a fault rule can target. kFinish and kRangeLock are hold points
// for crash and race tests, which only take delay rules and are not matched
// by "any": a range that completes its file waits there before the finishing
// transaction, and a range waits there before taking its session's lock.
enum class FaultOp {
  kLogin,
  kSpace,
  kDispatch,
  kCancel,
  kCheck,
  kBigUpload,
  kAny,
  kFinish,
  kRangeLock
};

// What a rule does to a matching request:
//   kDrop    close the connection after `value` bytes of the request body;
//   kDelay   wait `value` milliseconds before answering;
//   kStatus  answer "statuscode" `value` with its message instead of serving;
//   kFail    answer HTTP 500 without a JSON body.
enum class FaultKind { kDrop, kDelay, kStatus, kFail };

struct FaultRule {
  FaultOp op;
  FaultKind kind;
  int64_t value = 0;
  int remaining = 1;
};

// Failures injected for the client's retry paths, each rule bounded by a
// count. Rules are written OP:ACTION[*COUNT] and separated by commas, e.g.
//   "dispatch:status=300*1,bigupload:drop=65536*2,check:delay=1500,space:fail*3"
// OP is login, space, dispatch, cancel, check, bigupload, any, finish or
// rangelock; ACTION is
// drop=BYTES (bigupload only), delay=MS, status=CODE or fail; COUNT defaults
// to 1. Thread-safe.
class FaultPlan {
 public:
  FaultPlan() = default;
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  // Replaces the rules; false with *error set on a malformed text.
  bool Parse(std::string_view text, std::string* error);

  // Uses up one count of the first live rule of `kind` for `op` (rules for
  // "any" match every operation). True with *value set when one applied.
  bool Take(FaultOp op, FaultKind kind, int64_t* value);

  bool empty() const;

 private:
  mutable std::mutex mu_;
  std::vector<FaultRule> rules_;
};

}  // namespace vexa::server

#endif  // VEXA_SERVER_FAULTS_H_

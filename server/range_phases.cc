#include "server/range_phases.h"

#include <string>

#include "server/http_server.h"

namespace vexa::server {

RangePhases::RangePhases(std::FILE* log) : log_(log) {
  const Clock::time_point taken = HttpServer::RequestStart();
  if (taken != Clock::time_point() && taken < start_) last_ = start_ = taken;
  End(kHead);
}

void RangePhases::End(Phase phase) {
  const Clock::time_point now = Clock::now();
  us_[phase] += std::chrono::duration_cast<std::chrono::microseconds>(now - last_).count();
  last_ = now;
}

void RangePhases::Print() const {
  if (log_ == nullptr) return;
  static constexpr const char* kNames[kCount] = {"head",   "receive", "parse",      "check",
                                                 "digest", "write",   "filedigest", "sync",
                                                 "commit", "finish"};
  std::string line;
  for (int i = 0; i < kCount; ++i)
    line += std::string(kNames[i]) + "=" + std::to_string(us_[i]) + " ";
  line += "total=" +
          std::to_string(
              std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
  std::fprintf(log_, "%s\n", line.c_str());
  std::fflush(log_);
}

}  // namespace vexa::server

#include "server/faults.h"

#include <charconv>

namespace vexa::server {

namespace {

bool ParseInt(std::string_view text, int64_t* value) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && ptr == text.data() + text.size() && *value >= 0;
}

bool ParseOp(std::string_view text, FaultOp* op) {
  // clang-format off
  static const struct {
    const char* name;
    FaultOp op;
  } kOps[] = {{"login", FaultOp::kLogin},       {"space", FaultOp::kSpace},
              {"dispatch", FaultOp::kDispatch}, {"cancel", FaultOp::kCancel},
              {"check", FaultOp::kCheck},       {"bigupload", FaultOp::kBigUpload},
              {"any", FaultOp::kAny},           {"finish", FaultOp::kFinish},
              {"rangelock", FaultOp::kRangeLock}};
  // clang-format on
  for (const auto& o : kOps) {
    if (text == o.name) {
      *op = o.op;
      return true;
    }
  }
  return false;
}

bool ParseRule(std::string_view text, FaultRule* rule, std::string* error) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    *error = "fault rule without ':': " + std::string(text);
    return false;
  }
  if (!ParseOp(text.substr(0, colon), &rule->op)) {
    *error = "unknown operation in fault rule: " + std::string(text);
    return false;
  }
  std::string_view action = text.substr(colon + 1);
  size_t star = action.find('*');
  if (star != std::string_view::npos) {
    int64_t count;
    if (!ParseInt(action.substr(star + 1), &count) || count < 1 || count > 1000000) {
      *error = "bad count in fault rule: " + std::string(text);
      return false;
    }
    rule->remaining = static_cast<int>(count);
    action = action.substr(0, star);
  }
  if (action == "fail") {
    rule->kind = FaultKind::kFail;
    return true;
  }
  size_t eq = action.find('=');
  std::string_view kind = action.substr(0, eq);
  if (eq == std::string_view::npos || !ParseInt(action.substr(eq + 1), &rule->value)) {
    *error = "bad action in fault rule: " + std::string(text);
    return false;
  }
  if (kind == "drop") {
    if (rule->op != FaultOp::kBigUpload) {
      *error = "drop applies to bigupload only: " + std::string(text);
      return false;
    }
    rule->kind = FaultKind::kDrop;
  } else if ((rule->op == FaultOp::kFinish || rule->op == FaultOp::kRangeLock) && kind != "delay") {
    *error = "finish and rangelock take delay only: " + std::string(text);
    return false;
  } else if (kind == "delay") {
    rule->kind = FaultKind::kDelay;
  } else if (kind == "status") {
    if (rule->value == 0) {
      *error = "status 0 is not a failure: " + std::string(text);
      return false;
    }
    rule->kind = FaultKind::kStatus;
  } else {
    *error = "unknown action in fault rule: " + std::string(text);
    return false;
  }
  return true;
}

}  // namespace

bool FaultPlan::Parse(std::string_view text, std::string* error) {
  std::vector<FaultRule> rules;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = text.substr(pos, comma - pos);
    if (!item.empty()) {
      FaultRule rule{};
      rule.remaining = 1;
      if (!ParseRule(item, &rule, error)) return false;
      rules.push_back(rule);
    }
    pos = comma + 1;
  }
  std::lock_guard<std::mutex> lock(mu_);
  rules_ = std::move(rules);
  return true;
}

bool FaultPlan::Take(FaultOp op, FaultKind kind, int64_t* value) {
  std::lock_guard<std::mutex> lock(mu_);
  for (FaultRule& r : rules_) {
    if (r.remaining <= 0 || r.kind != kind) continue;
    const bool hold_point = op == FaultOp::kFinish || op == FaultOp::kRangeLock;
    if (r.op != op && (r.op != FaultOp::kAny || hold_point)) continue;
    --r.remaining;
    *value = r.value;
    return true;
  }
  return false;
}

bool FaultPlan::empty() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rules_.empty();
}

}  // namespace vexa::server

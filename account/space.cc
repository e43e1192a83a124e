#include "account/space.h"

#include "account/account_api.h"
#include "codec/json_answer.h"
#include "net/http_client.h"

namespace vexa {

std::string BuildSpaceUrl(const std::string& base, const std::string& resource,
                          const std::string& user_id) {
  return base + "/app/user/space?source=" + EncodeFormValue(resource) +
         "&user_id=" + EncodeFormValue(user_id);
}

bool ReadSpaceAnswer(const std::string& body, const std::string& user_id, AccountState* state) {
  JsonValue root;
  if (!ParseJsonAnswer(body, &root)) return false;
  // Read into a copy and store it whole, so a value of the wrong type never
  // leaves a summary that disagrees with the numbers.
  AccountState q = *state;
  try {
    if (!JsonBool(JsonMember(root, "state"))) return false;
    if (JsonString(JsonMember(root, "user_id")) != user_id) return false;
    const JsonValue& space = JsonMember(root, "space");
    q.spaceTotal = JsonU64(JsonMember(space, "byte_size_total"));
    q.spaceUsed = JsonU64(JsonMember(space, "byte_size_used"));
    q.spaceRemain = JsonU64(JsonMember(space, "byte_size_remain"));
    q.sizeUsedPercent = JsonString(JsonMember(space, "size_used_percent"));
    q.sizeTotal = JsonString(JsonMember(space, "size_total"));
    q.sizeUsed = JsonString(JsonMember(space, "size_used"));
    q.sizeRemain = JsonString(JsonMember(space, "size_remain"));
  } catch (const std::exception&) {
    return false;
  }
  q.spaceSummary = q.sizeUsed + "|" + q.sizeTotal + "|" + q.sizeUsedPercent;
  *state = std::move(q);
  return true;
}

bool RefreshSpaceInfo(const RequestOptions& options) {
  const AccountState asked = CopyAccountState();
  if (!asked.loggedIn) return false;
  const std::string base = AccountApiBase();
  if (base.empty()) return false;
  std::string body;
  if (!ProcessHttpClient().Get(BuildSpaceUrl(base, asked.resource, asked.userId), options, &body)) {
    return false;
  }
  AccountState answer = asked;
  if (!ReadSpaceAnswer(body, asked.userId, &answer)) return false;
  bool stored = false;
  // A logout or another user's login while the query ran makes it stale.
  UpdateAccountState([&](AccountState* state) {
    if (!state->loggedIn || state->userId != asked.userId) return;
    state->spaceTotal = answer.spaceTotal;
    state->spaceUsed = answer.spaceUsed;
    state->spaceRemain = answer.spaceRemain;
    state->sizeUsedPercent = answer.sizeUsedPercent;
    state->sizeTotal = answer.sizeTotal;
    state->sizeUsed = answer.sizeUsed;
    state->sizeRemain = answer.sizeRemain;
    state->spaceSummary = answer.spaceSummary;
    stored = true;
  });
  return stored;
}

}  // namespace vexa

#ifndef VEXA_ACCOUNT_SPACE_H_
#define VEXA_ACCOUNT_SPACE_H_

#include <string>

#include "account/session.h"
#include "net/http_client.h"

namespace vexa {

// The quota query: base + "/app/user/space?source=" + resource + "&user_id=" +
// user id, the values escaped with EncodeFormValue.
std::string BuildSpaceUrl(const std::string& base, const std::string& resource,
                          const std::string& user_id);

// Reads a quota answer for `user_id` into the quota fields of `state` (the
// three numbers, four texts and the summary, all from the "space" object).
// False, with `state` unchanged, unless the answer is one JSON document whose
// "state" is true and whose "user_id" equals `user_id` byte for byte, and
// every value read has a usable type.
bool ReadSpaceAnswer(const std::string& body, const std::string& user_id, AccountState* state);

// Asks the account API for the current quota and stores it in the session.
// Blocks for the request. False, with the quota unchanged, when logged out,
// no account API base is set, the request fails, the answer is refused by
// ReadSpaceAnswer, or the session has meanwhile been logged out or passed to
// another user. `options` lets a caller end the wait (a stopped transfer).
bool RefreshSpaceInfo(const RequestOptions& options = RequestOptions());

}  // namespace vexa

#endif  // VEXA_ACCOUNT_SPACE_H_

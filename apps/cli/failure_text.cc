#include "apps/cli/failure_text.h"

#include "net/network_failure.h"
#include "store/readable_error.h"

namespace vexa::cli {
namespace {

// The codes of a request that got no answer at all: the dispatch, the resume
// check, a range, and the login's "check your network connection".
bool MeansNoAnswer(int64_t code) {
  return code == 1004 || code == 1007 || code == 1010 || code == 1015;
}

}  // namespace

bool ChineseMessages() {
  static const bool chinese = UserPrefersChinese();
  return chinese;
}

std::string FailureText(int64_t code, const std::string& system_text, bool chinese,
                        const std::string& network_failure) {
  const int32_t known = code != 0 ? static_cast<int32_t>(code) : ErrorCodeOfText(system_text);
  std::string text = ReadableError(known, system_text, chinese);
  if (MeansNoAnswer(known) && !network_failure.empty()) text += "; " + network_failure;
  return text;
}

std::string FailureText(int64_t code, const std::string& system_text) {
  return FailureText(code, system_text, ChineseMessages(), LastNetworkFailure());
}

}  // namespace vexa::cli

#include "apps/bridge/failure_log.h"

#include <json/json.h>

#include <memory>
#include <vector>

#include "control/payload.h"
#include "store/readable_error.h"

namespace vexa::bridge {

namespace {

// The progress payload's fields the log uses (their places among the
// fourteen).
constexpr size_t kLocalPathField = 1;
constexpr size_t kStatusField = 6;
constexpr size_t kErrorCodeField = 9;
constexpr size_t kErrorTextField = 10;
constexpr size_t kIsFolderField = 12;
constexpr char kFailedStatus[] = "4";

int32_t CodeOf(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("-0123456789") != std::string::npos)
    return 0;
  return static_cast<int32_t>(std::stol(text));
}

std::string Readable(int32_t code, const std::string& text, bool chinese) {
  const std::string words = ReadableError(code, text, chinese);
  return code != 0 ? "error " + std::to_string(code) + ": " + words : words;
}

}  // namespace

std::string FailureLogLine(const std::string& event_line, bool chinese) {
  Json::Value line;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(event_line.data(), event_line.data() + event_line.size(), &line, &errors) ||
      !line.isObject() || !line["event"].isString() || !line["payload"].isString()) {
    return "";
  }
  const std::string event = line["event"].asString();
  const std::string text = UnescapeUnicode(line["payload"].asString());
  if (event == "ProgressEvent") {
    const std::vector<std::string> f = SplitProgressFields(text);
    if (f.size() != 14 || f[kStatusField] != kFailedStatus) return "";
    const int32_t code = CodeOf(f[kErrorCodeField]);
    if (f[kIsFolderField] == "1" && code == 0) {
      return "upload of the folder " + f[kLocalPathField] +
             " failed: some of its files could not be uploaded";
    }
    return "upload of " + f[kLocalPathField] +
           " failed: " + Readable(code, f[kErrorTextField], chinese);
  }
  if (event == "LoadUnfinishTaskEvent") {  // "path|text" of a folder's failed member
    const size_t cut = text.rfind('|');
    if (cut == std::string::npos) return "";
    return "  failed member " + text.substr(0, cut) + ": " +
           Readable(0, text.substr(cut + 1), chinese);
  }
  if (event == "LoginEvent" && text.rfind("0|", 0) == 0) {
    return "login failed: " + Readable(0, text.substr(2), chinese);
  }
  return "";
}

}  // namespace vexa::bridge

#ifndef VEXA_APPS_CLI_EVENT_PAYLOAD_H_
#define VEXA_APPS_CLI_EVENT_PAYLOAD_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace Json {
class Value;
}

namespace vexa::cli {

// One row of a progress payload (ProgressEvent, LoadTaskEvent), decoded.
struct ProgressRow {
  std::string fileName;
  std::string localPath;
  uint64_t totalBytes = 0;
  uint64_t doneBytes = 0;
  int64_t speed = 0;          // bytes per second; negative values arrive sign-extended
  std::string timeLeft;       // "HH:MM:SS"
  int status = 0;             // 0 Waiting .. 6 Cancelled
  std::string uploadPercent;  // "50.00%"
  std::string hashPercent;
  int64_t errorCode = 0;
  std::string errorText;
  std::string pickCode;
  bool isFolder = false;
  std::string queueSummary;  // count,bytes,speed,HH:MM:SS
  // Not in the payload: for a running folder, the local path of the member
  // being sent, as the host's engine tells it (empty when unknown).
  std::string member;
  // Not in the payload either: while a folder is being listed (its size not
  // known yet), the files found so far; -1 otherwise.
  int64_t filesFound = -1;

  bool final() const { return status >= 4; }  // Failed, Completed, Cancelled
};

enum RowStatus : int {
  kWaiting = 0,
  kHashing = 1,
  kUploading = 2,
  kStopped = 3,
  kFailed = 4,
  kCompleted = 5,
  kCancelled = 6,
};

// "Waiting" .. "Cancelled", or "Unknown".
const char* StatusName(int status);

// Decodes an unescaped progress payload (fourteen fields joined by "|", split
// as SplitProgressFields does). False when the text does not have that shape.
bool DecodeProgressRow(std::string_view text, ProgressRow* row);

// A JSON value as one line of UTF-8 without indentation (no line end). With
// --json every line on standard output is one: an event, or the "result" of
// a command.
std::string JsonLine(const Json::Value& value);

// One JSON object (no line end) for an event: its name, identifier, the
// payload exactly as received and its decoded fields (null when the payload
// is not escaped text).
std::string EventJsonLine(int dispid, const std::string& payload);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_EVENT_PAYLOAD_H_

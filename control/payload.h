#ifndef VEXA_CONTROL_PAYLOAD_H_
#define VEXA_CONTROL_PAYLOAD_H_

// The texts the page receives with the control's events.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/upload_task.h"

namespace vexa {

// The control's copy of one report: every field of a TaskNotice but the
// user value. Strings are UTF-8 except errorText (GBK).
struct ProgressRecord {
  std::string fileName;
  std::string path;
  int64_t totalSize = 0;
  int64_t doneSize = 0;
  int32_t speed = 0;
  int32_t secondsLeft = 0;
  int32_t status = 0;
  double hashProgress = 0.0;
  int32_t errorCode = 0;
  std::string errorText;
  std::string pickCode;
  int32_t isFolder = 0;
  std::string queueSummary;
};

ProgressRecord ProgressRecordOf(const TaskNotice& notice);

// Every UTF-16 unit of the UTF-8 text as "\u" and four upper-case hex digits,
// so the result is plain ASCII that no quote, separator or line break in the
// text can break. Empty for an empty text.
std::string EscapeUnicode(std::string_view utf8);

// The fourteen fields joined with "|", escaped as a whole.
std::string ProgressPayload(const ProgressRecord& record);

// The fourteen fields as the page reads them back from a payload (after
// undoing the escape), for hosts that show them. A "|" inside a file name is
// told apart from the separators: the path ends with the file name, and the
// twelve fields after the path never hold one (the error text and pick code
// are assumed free of it). Empty when the text does not have that shape.
std::vector<std::string> SplitProgressFields(std::string_view unescaped);

// Undoes EscapeUnicode: "\uXXXX" groups back to UTF-8 (surrogate pairs
// joined). Any other byte is kept as it is.
std::string UnescapeUnicode(std::string_view escaped);

}  // namespace vexa

#endif  // VEXA_CONTROL_PAYLOAD_H_

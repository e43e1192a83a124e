#ifndef VEXA_STORE_ERROR_TABLE_H_
#define VEXA_STORE_ERROR_TABLE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// Builds the code-to-message table and prepares the log folder ("errlog"
// below the data folder) for the crash reporter. Only the first call does
// anything; later calls return at once. Thread-safe.
void InitErrorMessages();

// The table's text for `code` (GBK), or "未知错误" in GBK when it has none.
std::string ErrorMessageText(int32_t code);

// The text of every code the table does not hold: "未知错误" in GBK.
std::string UnknownErrorText();

// Every code the table holds, ascending.
std::vector<int32_t> ErrorMessageCodes();

// The text reported for a task's failure, GBK: empty for code 0, else the
// service's own message when there is one, else the table's text.
std::string TaskErrorText(int32_t error_code, const std::string& service_message);

// The log folder, ending with a separator; empty before InitErrorMessages or
// without a data folder.
std::string ErrorLogFolder();

}  // namespace vexa

#endif  // VEXA_STORE_ERROR_TABLE_H_

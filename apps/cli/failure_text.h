#ifndef VEXA_APPS_CLI_FAILURE_TEXT_H_
#define VEXA_APPS_CLI_FAILURE_TEXT_H_

#include <cstdint>
#include <string>

namespace vexa::cli {

// Whether the CLI speaks Chinese: the user's locale (LC_ALL, LC_MESSAGES,
// LANG) names one. Read once.
bool ChineseMessages();

// A failure as the CLI prints it: the English sentence for `code` with the
// system's text in parentheses, or the system's text alone in a Chinese
// locale (code 0: looked up from the text). A code that says only that the
// network failed gets `network_failure` (the address and the cause) after it.
std::string FailureText(int64_t code, const std::string& system_text, bool chinese,
                        const std::string& network_failure);

// The same with the CLI's locale and the process's latest network failure.
std::string FailureText(int64_t code, const std::string& system_text);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_FAILURE_TEXT_H_

#ifndef VEXA_STORE_READABLE_ERROR_H_
#define VEXA_STORE_READABLE_ERROR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

// Short English sentences for the codes of the error table, for people who do
// not read its Chinese texts. The table's texts themselves, which payloads and
// stored files carry, never change: these are only shown beside them.

// The sentence for `code` (also for the file-access codes 4, 5, 31, 112 and
// 1117, which the table reports as unknown), or "unknown error".
std::string EnglishErrorText(int32_t code);

// Every code of the error table's with a sentence, ascending.
std::vector<int32_t> EnglishErrorCodes();

// The code whose table text is `utf8_text` (the lowest, where two codes share
// a text), or 0 when no code has it.
int32_t ErrorCodeOfText(const std::string& utf8_text);

// Whether messages should be Chinese: the first of LC_ALL, LC_MESSAGES and
// LANG that is set and not empty names a "zh" locale. Null stands for unset.
bool IsChineseLocale(const char* lc_all, const char* lc_messages, const char* lang);
// The same for this process's environment.
bool UserPrefersChinese();

// What a person is shown for a failure: with `chinese`, the system's text
// (UTF-8) alone; otherwise the English sentence followed by the system's text
// in parentheses: "the file was moved or deleted (文件已经移动或删除)". A code
// of 0 is looked up from the text (a folder member's failure carries no code);
// the table's text for codes it lacks reads "unknown error (未知错误)"; any
// other text the table does not know (the service's own message) stays as it is.
std::string ReadableError(int32_t code, const std::string& utf8_text, bool chinese);

// The same two tables for a web page: a script that sets
// window.VexaErrorTexts = {"english": {CODE: SENTENCE}, "system": {CODE: TEXT},
// "unknown": TEXT} (the system's texts in UTF-8, every character outside ASCII
// escaped; "unknown" the text of the codes the table lacks), so the
// page shows failures as ReadableError does without a copy of either table.
std::string ErrorTextsScript();

}  // namespace vexa

#endif  // VEXA_STORE_READABLE_ERROR_H_

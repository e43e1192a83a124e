#include "store/readable_error.h"

#include <cstdlib>
#include <cstring>

#include "codec/json_quote.h"
#include "port/codepage.h"
#include "store/error_table.h"

namespace vexa {
namespace {

struct EnglishRow {
  int32_t code;
  const char* text;
};
// Ascending, one row per code of the error table.
constexpr EnglishRow kEnglishRows[] = {
    {2, "the file was moved or deleted"},
    {3, "the folder was moved or deleted"},
    {32, "the file is in use by another process"},
    {123, "the file or folder name is not valid"},
    {300, "the service holds other content with the same hash"},
    {400, "the service did not accept the request's signature"},
    {401, "the service does not recognise the user"},
    {402, "the service refused a parameter of the request"},
    {403, "the upload permission has expired"},
    {404, "the service refused the range that was sent"},
    {405, "the content does not match its hash"},
    {410, "not enough free space in the online storage"},
    {411, "the file is larger than the quota allows"},
    {412, "the service does not know the upload's pick code"},
    {500, "the server's disk is full"},
    {501, "the upload server is busy"},
    {502, "the upload server failed with an unknown error"},
    {600, "the service no longer accepts this client version"},
    {1000, "empty files cannot be uploaded"},
    {1001, "the file's hash could not be computed"},
    {1002, "out of memory"},
    {1003, "the upload request could not be built"},
    {1004, "the upload request got no answer"},
    {1005, "the answer to the upload request was not readable"},
    {1006, "the resume request could not be built"},
    {1007, "the resume request got no answer"},
    {1008, "the answer to the resume request was not readable"},
    {1009, "the range could not be prepared"},
    {1010, "sending a range failed"},
    {1011, "the answer to a range was not readable"},
    {1012, "no upload target was given"},
    {1013, "not enough free space in the online storage"},
    {1014, "the file is larger than the account's single-file limit"},
    {1015, "check your network connection"},
    {1016, "the file changed while it was being uploaded"},
    {1017, "the file is already in the upload queue"},
    {1101, "the file's hash could not be computed: read error"},
    {1102, "the file's hash could not be computed: digest failure"},
    {1103, "the file's hash could not be computed: out of memory"},
    {1104, "the file's hash could not be computed: short read"},
    {1105, "the file's hash could not be computed: sample digest failure"},
    {1106, "the file's hash could not be computed: small-file digest failure"},
    {10014, "the remote folder does not exist"},
};

// Codes of the system's file access that the error table has no text for
// (it reports them as "未知错误"); a person still deserves their meaning.
constexpr EnglishRow kPlatformRows[] = {
    {4, "too many open files"},
    {5, "access denied"},
    {31, "system error"},
    {112, "the local disk is full"},
    {1117, "input/output error reading the file"},
};

bool StartsWithZh(const char* locale) {
  return (locale[0] == 'z' || locale[0] == 'Z') && (locale[1] == 'h' || locale[1] == 'H') &&
         (locale[2] == '\0' || locale[2] == '_' || locale[2] == '-' || locale[2] == '.' ||
          locale[2] == '@');
}

}  // namespace

std::string EnglishErrorText(int32_t code) {
  for (const EnglishRow& r : kEnglishRows) {
    if (r.code == code) return r.text;
  }
  for (const EnglishRow& r : kPlatformRows) {
    if (r.code == code) return r.text;
  }
  return "unknown error";
}

std::vector<int32_t> EnglishErrorCodes() {
  std::vector<int32_t> codes;
  for (const EnglishRow& r : kEnglishRows) codes.push_back(r.code);
  return codes;
}

int32_t ErrorCodeOfText(const std::string& utf8_text) {
  if (utf8_text.empty()) return 0;
  for (int32_t code : ErrorMessageCodes()) {
    if (port::GbkToUtf8(ErrorMessageText(code)) == utf8_text) return code;
  }
  return 0;
}

bool IsChineseLocale(const char* lc_all, const char* lc_messages, const char* lang) {
  for (const char* value : {lc_all, lc_messages, lang}) {
    if (value != nullptr && *value != '\0') return StartsWithZh(value);
  }
  return false;
}

bool UserPrefersChinese() {
  return IsChineseLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

std::string ReadableError(int32_t code, const std::string& utf8_text, bool chinese) {
  if (code == 0) code = ErrorCodeOfText(utf8_text);
  // The table's own text for a code it lacks still gets its English.
  if (code == 0 && utf8_text != port::GbkToUtf8(UnknownErrorText())) {
    return utf8_text.empty() ? EnglishErrorText(0) : utf8_text;
  }
  if (chinese) return utf8_text.empty() ? port::GbkToUtf8(ErrorMessageText(code)) : utf8_text;
  const std::string english = EnglishErrorText(code);
  return utf8_text.empty() ? english : english + " (" + utf8_text + ")";
}

std::string ErrorTextsScript() {
  std::string english, system;
  auto add = [](std::string* object, int32_t code, const std::string& text) {
    *object +=
        (object->empty() ? "{" : ", ") + JsonQuote(std::to_string(code)) + ": " + JsonQuote(text);
  };
  for (const EnglishRow& r : kEnglishRows) add(&english, r.code, r.text);
  for (const EnglishRow& r : kPlatformRows) add(&english, r.code, r.text);
  for (int32_t code : ErrorMessageCodes())
    add(&system, code, port::GbkToUtf8(ErrorMessageText(code)));
  return "// Generated from the error table and its English sentences; not edited by hand.\n"
         "window.VexaErrorTexts = {\"english\": " +
         english + "}, \"system\": " + system +
         "}, \"unknown\": " + JsonQuote(port::GbkToUtf8(UnknownErrorText())) + "};\n";
}

}  // namespace vexa

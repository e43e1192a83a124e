#include "apps/bridge/failure_log.h"

#include <gtest/gtest.h>

#include "codec/text.h"
#include "control/method_table.h"
#include "control/payload.h"
#include "control/script_dispatcher.h"

namespace vexa::bridge {
namespace {

// The line a page's control sends for `event` with `text` as its payload.
std::string Line(const char* event, const std::string& text) {
  return EventLine(*FindEvent(event), Utf8ToWide(EscapeUnicode(text)));
}

TEST(FailureLogTest, FailuresAreLoggedInWordsOtherEventsAreNot) {
  const std::string moved =
      "\xE6\x96\x87\xE4\xBB\xB6\xE5\xB7\xB2\xE7\xBB\x8F\xE7\xA7\xBB\xE5\x8A\xA8\xE6\x88\x96"
      "\xE5\x88\xA0\xE9\x99\xA4";  // the table's text of code 2
  const std::string unknown = "\xE6\x9C\xAA\xE7\x9F\xA5\xE9\x94\x99\xE8\xAF\xAF";
  const struct {
    std::string line;
    bool chinese;
    std::string logged;
  } cases[] = {
      {Line("ProgressEvent", "a.txt|/home/u/a.txt|100|0|0|00:00:00|4|0.00%|100.00%|2|" + moved +
                                 "||0|1,100,0,00:00:00"),
       false,
       "upload of /home/u/a.txt failed: error 2: the file was moved or deleted (" + moved + ")"},
      {Line("ProgressEvent", "a.txt|/home/u/a.txt|100|0|0|00:00:00|4|0.00%|100.00%|2|" + moved +
                                 "||0|1,100,0,00:00:00"),
       true, "upload of /home/u/a.txt failed: error 2: " + moved},
      // The service's own message stays as it is.
      {Line("ProgressEvent",
            "b|/x/b|9|0|0|00:00:00|4|0.00%|100.00%|1004|request to 127.0.0.1:9 "
            "refused||0|1,9,0,00:00:00"),
       false,
       "upload of /x/b failed: error 1004: the upload request got no answer (request to "
       "127.0.0.1:9 refused)"},
      {Line("ProgressEvent", "pics|/x/pics|9|5|0|00:00:00|4|55.00%|100.00%|0|||1|1,9,0,00:00:00"),
       false, "upload of the folder /x/pics failed: some of its files could not be uploaded"},
      {Line("ProgressEvent", "a|/x/a|9|9|0|00:00:00|5|100.00%|100.00%|0||pc|0|0,0,0,00:00:00"),
       false, ""},
      {Line("LoadUnfinishTaskEvent", "/x/pics/bad|" + moved), false,
       "  failed member /x/pics/bad: the file was moved or deleted (" + moved + ")"},
      // A code the table lacks: its text is the table's "unknown error".
      {Line("LoadUnfinishTaskEvent", "/x/pics/odd|" + unknown), false,
       "  failed member /x/pics/odd: unknown error (" + unknown + ")"},
      {Line("ProgressEvent",
            "c|/x/c|9|0|0|00:00:00|4|0.00%|100.00%|87|" + unknown + "||0|1,9,0,00:00:00"),
       false, "upload of /x/c failed: error 87: unknown error (" + unknown + ")"},
      {Line("LoginEvent", "0|wrong account or password"), false,
       "login failed: wrong account or password"},
      {Line("LoginEvent", "1|ok"), false, ""},
      {"not json", false, ""},
      {"{\"event\":\"ProgressEvent\",\"payload\":7}", false, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.logged, FailureLogLine(c.line, c.chinese)) << c.line;
}

}  // namespace
}  // namespace vexa::bridge

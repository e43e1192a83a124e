#ifndef VEXA_APPS_CLI_ROW_REQUEST_H_
#define VEXA_APPS_CLI_ROW_REQUEST_H_

#include <string>
#include <vector>

#include "apps/cli/session_options.h"

namespace vexa::cli {

// `stop` and `cancel`: asks a running `upload` or `resume` to apply `verb` to
// the paths; when none runs, logs in and applies `local` (a control method)
// to each path that is an unfinished upload. Returns the exit status: 1 when
// a path is not an unfinished upload.
int RunRowRequest(const char* verb, const std::vector<std::string>& paths,
                  const SessionOptions& options, void (CUpload::*local)(const std::u16string&),
                  const char* done_text);

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_ROW_REQUEST_H_

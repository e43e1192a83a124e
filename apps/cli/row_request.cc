#include "apps/cli/row_request.h"

#include <json/json.h>

#include <cstdio>

#include "apps/cli/command.h"
#include "apps/cli/event_payload.h"
#include "apps/cli/upload_requests.h"
#include "apps/cli/upload_watch.h"
#include "codec/text.h"

namespace vexa::cli {
namespace {

// A running upload takes requests several times a second.
constexpr uint32_t kTakeWaitMs = 2000;

// What became of one path: a line for people, or one JSON line with --json.
void ReportRowOutcome(bool json, const char* verb, const std::string& path, const char* outcome) {
  if (!json) {
    std::printf("%s: %s\n", outcome, path.c_str());
    return;
  }
  Json::Value line(Json::objectValue);
  line["result"] = verb;
  line["path"] = path;
  line["outcome"] = outcome;
  std::printf("%s\n", JsonLine(line).c_str());
}

}  // namespace

int RunRowRequest(const char* verb, const std::vector<std::string>& paths,
                  const SessionOptions& options, void (CUpload::*local)(const std::u16string&),
                  const char* done_text) {
  std::vector<std::string> targets;
  for (const std::string& p : paths) {
    targets.push_back(UploadWatch::ControlPath(p));
    if (!PostUploadRequest({verb, targets.back()})) {
      std::fprintf(stderr, "vexaupload %s: cannot pass the request on: %s\n", verb, p.c_str());
      return kExitFailed;
    }
  }
  if (WaitForUploadRequestsTaken(kTakeWaitMs)) {
    const std::string asked = std::string("asked the running upload to ") + verb;
    for (const std::string& t : targets) ReportRowOutcome(options.json, verb, t, asked.c_str());
    return kExitOk;
  }
  return RunLoggedIn(options, [&](CUpload& control, UploadWatch& watch) {
    control.LoadTask();
    int status = kExitOk;
    for (const std::string& t : targets) {
      bool known = false;
      for (const ProgressRow& row : watch.rows())
        known = known || (row.localPath == t && !row.final());
      if (!known) {
        std::fprintf(stderr, "vexaupload %s: not an unfinished upload: %s\n", verb, t.c_str());
        status = kExitFailed;
        continue;
      }
      (control.*local)(Utf8ToWide(t));
      ReportRowOutcome(options.json, verb, t, done_text);
    }
    return status;
  });
}

}  // namespace vexa::cli

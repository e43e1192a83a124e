#ifndef VEXA_APPS_CLI_UPLOAD_REQUESTS_H_
#define VEXA_APPS_CLI_UPLOAD_REQUESTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::cli {

// How `stop`, `cancel` and a second `upload` reach an upload running in
// another vexaupload process: a line per request in the data folder's
// "upload_requests", which the running `upload` or `resume` takes (and
// removes) several times a second.

struct UploadRequest {
  std::string verb;  // "stop", "cancel" or "upload"
  std::string path;
  std::string target;  // "upload" only: the remote folder id, empty for the default
};

// One `upload` or `resume` at a time per data folder, since they share the
// resume store: takes the folder's lock for the rest of this process (a crash
// lets go of it) and drops requests left from before. False when another
// process holds it (`*holder` its process id, 0 when unknown); a lock that
// cannot be taken for another reason is said and does not stop the command.
bool TakeUploadLock(uint32_t* holder);

// Appends a request. False when it cannot be written (or holds a line break).
bool PostUploadRequest(const UploadRequest& request);

// Waits up to `timeout_ms` for a running upload to take the requests; when
// none does, withdraws them and returns false.
bool WaitForUploadRequestsTaken(uint32_t timeout_ms);

// The requests posted since the last call, oldest first; the file goes.
std::vector<UploadRequest> TakeUploadRequests();

}  // namespace vexa::cli

#endif  // VEXA_APPS_CLI_UPLOAD_REQUESTS_H_
